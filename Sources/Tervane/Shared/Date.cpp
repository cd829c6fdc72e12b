#include <Tervane/Shared/Date.hpp>

#include <cmath>

namespace Tervane {

namespace {

// 2001-01-01 00:00:00 UTC in Unix time.
constexpr std::chrono::seconds referenceDateSinceEpoch{978307200};

}  // namespace

double secondsSinceReferenceDate(Date date) noexcept {
    return std::chrono::duration<double>(date.time_since_epoch() - referenceDateSinceEpoch).count();
}

Date dateFromSecondsSinceReferenceDate(double seconds) noexcept {
    using Ticks = Date::duration;
    const double reference = std::chrono::duration<double>(referenceDateSinceEpoch).count();
    double sinceEpoch = std::isnan(seconds) ? reference : reference + seconds;
    // Keep well inside the tick range so the conversion below cannot overflow.
    const double limit = std::chrono::duration<double>(Ticks::max()).count() * 0.99;
    sinceEpoch = std::fmax(-limit, std::fmin(limit, sinceEpoch));
    return Date(std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(sinceEpoch)));
}

}  // namespace Tervane
