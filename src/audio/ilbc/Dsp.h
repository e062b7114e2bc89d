// Signal-processing building blocks shared by the iLBC encoder and decoder.
// All work on float; the order of every sum is part of the bit-exact
// contract with other RFC 3951 implementations, so keep loops as they are.
#pragma once

#include <array>
#include <cmath>
#include <span>

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

// The reference evaluates the C library's double functions on float
// arguments and rounds the result to float; do the same (the float
// overloads may round differently).
inline float cosOf(float x) { return static_cast<float>(std::cos(static_cast<double>(x))); }
inline float sqrtOf(float x) { return static_cast<float>(std::sqrt(static_cast<double>(x))); }
inline float pow10Of(float x) { return static_cast<float>(std::pow(10.0, static_cast<double>(x))); }
inline float log10Of(float x) { return static_cast<float>(std::log10(static_cast<double>(x))); }
inline float absOf(float x) { return static_cast<float>(std::fabs(static_cast<double>(x))); }

// In place: x[n] -= sum_{k=1..order} coef[k] * x[n-k] for n in [0, length);
// x[-order..-1] hold the past output and must be readable.
void allPoleFilter(float* x, const float* coef, int length, int order);
// out[n] = sum_{k=0..order} coef[k] * in[n-k]; in[-order..-1] hold the past input.
void allZeroFilter(const float* in, const float* coef, int length, int order, float* out);
// All-zero then all-pole section (out[-order..-1] hold the pole state).
void zeroPoleFilter(const float* in, const float* zeros, const float* poles, int length, int order, float* out);

// LPC synthesis filter 1/A(z) in place over one block; `state` holds the last
// kOrder outputs.
void synthesisFilter(std::span<float> block, const float* a, FilterState& state);
// LPC analysis filter A(z); `state` holds the last kOrder inputs.
void analysisFilter(std::span<const float> in, const float* a, std::span<float> out, FilterState& state);

// Second-order pole-zero high-pass (input and output filters of RFC 3951).
// state: {x[n-1], x[n-2], y[n-1], y[n-2]}.
void highPass(std::span<const float> in, std::span<float> out, const std::array<float, 3>& zeros,
              const std::array<float, 3>& poles, std::array<float, 4>& state);

void autocorrelation(const float* x, int length, int order, float* r);
void levinsonDurbin(const float* r, int order, float* a);
void bandwidthExpand(const float* in, float coef, int length, float* out);
void interpolate(const float* a, const float* b, float coef, int length, float* out);

// LSF (radians, ascending) to LPC polynomial and back. lsfToLpc works on a copy.
void lsfToLpc(const float* lsf, float* a);
void lpcToLsf(const float* a, float* lsf);
// Interpolates two LSF vectors with weight `coef` on the first and converts.
void interpolateLsfToLpc(const float* lsf1, const float* lsf2, float coef, float* a);
// Keeps LSF vectors ordered and separated; returns true when it changed any.
bool stabiliseLsf(float* lsf, int dim, int vectors);

// Nearest codebook vector by squared error.
int vectorQuantize(const float* x, const float* codebook, int size, int dim, float* quantized);
// Scalar quantiser of a sorted table (nearest by mid-points).
int scalarQuantize(float x, const float* table, int size, float& quantized);

// Low-pass and decimation by 2 (enhancer pitch estimation): length / 2
// outputs. in[-6..-1] must be readable (the filter's past input).
void downsample(const float* in, int length, float* out);

// (sum t*r)^2 / sum r^2 when the correlation is positive, else 0.
float crossCorrCoef(const float* target, const float* regressor, int length);

// The lag in [minLag, endLag) whose past segment (target - lag) has the
// largest crossCorrCoef with target; the first of equals wins.
int bestPastLag(const float* target, int minLag, int endLag, int length);

}  // namespace ambrel::ilbc
