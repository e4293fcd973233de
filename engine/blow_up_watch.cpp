// The blow-up watch of a run (see blow_up_watch.h).
#include "blow_up_watch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

std::string short_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

}  // namespace

void BlowUpWatch::observe(double ekin, double etot) {
    if (n_ < 2) return;
    const double temperature = 2.0 * ekin / (3.0 * static_cast<double>(n_ - 1));
    // A NaN counts as the hottest and highest there is.
    hottest_ = std::isnan(temperature) ? temperature : std::max(hottest_, temperature);
    if (!seen_) first_etot_ = etot;
    highest_etot_ = std::isnan(etot) ? etot : std::max(highest_etot_, etot);
    seen_ = true;
}

std::optional<std::string> BlowUpWatch::warning() const {
    if (!seen_) return std::nullopt;
    const double rise = (highest_etot_ - first_etot_) / static_cast<double>(n_);
    const bool energy_created = !(rise <= heating);
    const bool hot = kT_ > 0 && !(hottest_ <= band * kT_);
    std::vector<std::string> problems;
    if (hot && energy_created) {
        problems.push_back("the temperature reached " + short_text(hottest_) + " (kT = " + short_text(kT_) + ")");
    }
    if (!(rise <= drift) || (hot && energy_created)) {
        problems.push_back("the total energy per particle rose by " + short_text(rise) + " epsilon");
    }
    if (problems.empty()) return std::nullopt;
    std::string text = "the run looks unstable: " + problems[0];
    for (std::size_t k = 1; k < problems.size(); ++k) text += " and " + problems[k];
    return text + ", energy that the integration created; a smaller stepsize, a larger cell_length or fewer "
                  "particles (a lower density), or a smaller sigma usually help";
}
