#include "Engine.h"

namespace blendora {

Engine& realEngine() {
    static Engine engine;
    return engine;
}

} // namespace blendora
