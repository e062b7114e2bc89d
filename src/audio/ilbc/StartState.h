// The start state: the scalar-quantised 57/58 residual samples around the
// frame's energy peak from which all codebook memories grow (RFC 3951 3.5,
// 4.2).
#pragma once

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

// Rebuilds `length` residual samples from the quantiser indices; syntDenum is
// the synthesis filter of the sub-block where the state starts.
void constructStartState(int scaleIndex, const int* indices, const float* syntDenum, int length, float* out);

// Quantises `length` residual samples. syntDenum and weightDenum point at the
// filters of the state's first sub-block (the next sub-block's filters
// follow). stateFirst tells where the 40-sample boundary falls.
void searchStartState(const float* residual, const float* syntDenum, const float* weightDenum, int length,
                      bool stateFirst, int& scaleIndex, int* indices);

}  // namespace ambrel::ilbc
