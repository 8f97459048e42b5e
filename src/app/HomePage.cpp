#include "HomePage.h"

#include "Failure.h"

#include <QRandomGenerator>
#include <QTime>

namespace blendora {

RandomDraw defaultRandomDraw() {
    return [] {
        // Seeded from the time of day, as the draw has always been.
        static QRandomGenerator generator(quint32(QTime::currentTime().msecsSinceStartOfDay()));
        return generator.generateDouble();
    };
}

void OpenHomePageAtRandom(const RandomDraw& draw, Shell& shell) {
    const int n = int(draw() * 100) + 1;
    if (n == 7 && !shell.openUrl(kHomePage))
        fail(QStringLiteral("The web browser could not be started for ") + kHomePage);
}

} // namespace blendora
