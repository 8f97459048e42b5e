#pragma once

#include "Prompts.h"

#include <functional>

namespace blendora {

inline const QString kHomePage = QStringLiteral("https://quorvane.example/");
inline const QString kContactPage = QStringLiteral("https://quorvane.example/contact/");

// A draw of r with 0 <= r < 1; tests hand in fixed draws.
using RandomDraw = std::function<double()>;
RandomDraw defaultRandomDraw();

// Opens the home page on one start in a hundred (when the draw gives 7 of 1..100).
void OpenHomePageAtRandom(const RandomDraw& draw, Shell& shell);

} // namespace blendora
