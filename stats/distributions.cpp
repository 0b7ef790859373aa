#include "stats/distributions.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ldi {

namespace {

// Regularised lower incomplete gamma P(a, x) by its series (x < a + 1).
double lowerGammaSeries(double a, double x) {
    double term = 1.0 / a;
    double sum = term;
    for (int n = 1; n < 1000; ++n) {
        term *= x / (a + n);
        sum += term;
        if (std::fabs(term) < std::fabs(sum) * 1e-16) break;
    }
    return sum * std::exp(-x + a * std::log(x) - std::lgamma(a));
}

double upperGammaLogFactor(double a, double x) { return -x + a * std::log(x) - std::lgamma(a); }

// The continued fraction of Q(a, x) / exp(upperGammaLogFactor) (x >= a + 1),
// evaluated with the modified Lentz method.
double upperGammaFractionPart(double a, double x) {
    constexpr double tiny = 1e-300;
    double b = x + 1.0 - a;
    double c = 1.0 / tiny;
    double d = 1.0 / b;
    double h = d;
    for (int i = 1; i < 1000; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < tiny) d = tiny;
        c = b + an / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < 1e-16) break;
    }
    return h;
}

// Regularised upper incomplete gamma Q(a, x) (x >= a + 1).
double upperGammaFraction(double a, double x) {
    return std::exp(upperGammaLogFactor(a, x)) * upperGammaFractionPart(a, x);
}

}  // namespace

double chiSquareSurvival(double x, double degrees) {
    if (!(x > 0.0) || !(degrees > 0.0)) return 1.0;
    if (std::isinf(x)) return 0.0;
    const double a = 0.5 * degrees;
    const double half = 0.5 * x;
    const double q = half < a + 1.0 ? 1.0 - lowerGammaSeries(a, half) : upperGammaFraction(a, half);
    return std::clamp(q, 0.0, 1.0);
}

double normalUpperQuantile(double upperTail) {
    // Acklam's rational approximation of the lower quantile, refined by one
    // Halley step with erfc, which brings it to full double precision.
    const double p = std::clamp(1.0 - upperTail, std::numeric_limits<double>::min(), 1.0 - 1e-17);
    const double lowTail = std::clamp(upperTail, std::numeric_limits<double>::min(), 1.0);
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                               1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                               6.680131188771972e+01,  -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                               -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    double z = 0.0;
    if (p < 0.02425) {
        const double q = std::sqrt(-2.0 * std::log(p));
        z = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
    } else if (p <= 1.0 - 0.02425) {
        const double q = p - 0.5;
        const double r = q * q;
        z = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
    } else {
        // The upper tail is given directly, so small tails keep their precision.
        const double q = std::sqrt(-2.0 * std::log(lowTail));
        z = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
    }
    // Halley refinement on the upper tail: f(z) = 0.5 erfc(z / sqrt 2) - upperTail.
    const double e = 0.5 * std::erfc(z / std::sqrt(2.0)) - lowTail;
    const double u = -e * std::sqrt(2.0 * 3.14159265358979323846) * std::exp(0.5 * z * z);
    z = z - u / (1.0 + 0.5 * z * u);
    return z;
}

double chiSquareLogSurvival(double x, double degrees) {
    if (!(x > 0.0) || !(degrees > 0.0)) return 0.0;
    if (std::isinf(x)) return -INFINITY;
    const double a = 0.5 * degrees;
    const double half = 0.5 * x;
    if (half < a + 1.0) return std::log(std::clamp(1.0 - lowerGammaSeries(a, half), 1e-300, 1.0));
    return upperGammaLogFactor(a, half) + std::log(upperGammaFractionPart(a, half));
}

double normalUpperQuantileFromLog(double logUpperTail) {
    if (!(logUpperTail < 0.0)) return logUpperTail == 0.0 ? -INFINITY : NAN;
    // Within double precision's reach the direct quantile is exact enough.
    if (logUpperTail > -700.0) return normalUpperQuantile(std::exp(logUpperTail));
    // ln P(Z >= z) = -z^2/2 - ln z - ln sqrt(2 pi) + ln(1 - 1/z^2 + 3/z^4 - 15/z^6 ...),
    // solved by Newton steps from z = sqrt(-2 ln p); its derivative is about -z.
    const double logRoot2Pi = 0.5 * std::log(2.0 * 3.14159265358979323846);
    double z = std::sqrt(-2.0 * logUpperTail);
    for (int i = 0; i < 50; ++i) {
        const double w = 1.0 / (z * z);
        const double f = -0.5 * z * z - std::log(z) - logRoot2Pi + std::log1p(-w + 3.0 * w * w - 15.0 * w * w * w) -
                         logUpperTail;
        const double step = f / (z + 1.0 / z);
        z += step;
        if (std::fabs(step) < 1e-12 * z) break;
    }
    return z;
}
}  // namespace ldi
