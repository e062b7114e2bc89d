// Encoder side of the adaptive codebook: the three-stage search with gain
// quantisation (RFC 3951 3.6).
#pragma once

#include "audio/ilbc/Constants.h"

namespace ambrel::ilbc {

// Finds codebook indices and gain indices for one target vector of `length`
// samples (40, or 22/23 for the start-state part). mem: lMem samples of
// past excitation; weightDenum: the perceptual weighting filter; block: 0 for
// the start-state part, else 1 + the number of the adaptive sub-block.
void searchCodebook(int* index, int* gainIndex, const float* target, const float* mem, int lMem, int length,
                    const float* weightDenum, int block);

}  // namespace ambrel::ilbc
