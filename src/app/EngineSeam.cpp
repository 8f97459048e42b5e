#include "EngineSeam.h"

namespace blendora {

EngineSeam& realEngine() {
    static EngineSeam engine;
    return engine;
}

} // namespace blendora
