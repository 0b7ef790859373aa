// Tail probabilities for the parametric p-values of the influence measures.
// Computed in double precision: they serve p-values and z scores of maps that
// group analyses read, not the plug-in's own float32 arithmetic.
#pragma once

namespace ldi {

// P(X >= x) for X chi-square distributed with `degrees` degrees of freedom
// (1 for x <= 0 and for degrees <= 0).
double chiSquareSurvival(double x, double degrees);

// The z with P(Z >= z) = upperTail for a standard normal Z (upperTail in
// (0, 1); about +-8.3 at the ends of double precision's reach).
double normalUpperQuantile(double upperTail);

// ln P(X >= x) for X chi-square with `degrees` degrees of freedom, accurate
// where the probability itself underflows (0 for x <= 0 or degrees <= 0).
double chiSquareLogSurvival(double x, double degrees);

// The z with ln P(Z >= z) = logUpperTail (logUpperTail < 0), with no floor:
// below double precision's reach the asymptotic expansion of the normal tail
// is solved instead.
double normalUpperQuantileFromLog(double logUpperTail);
}  // namespace ldi
