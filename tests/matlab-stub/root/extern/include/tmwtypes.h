/* Stand-in for MATLAB's tmwtypes.h: the size and index types of the C Matrix API. MATLAB's
   large-array API (mex -largeArrayDims, and every release-specific API since R2017b) makes
   both size_t. */
#ifndef ZELMOR_STAND_IN_TMWTYPES_H
#define ZELMOR_STAND_IN_TMWTYPES_H

#include <stddef.h>

typedef size_t mwSize;
typedef size_t mwIndex;
typedef ptrdiff_t mwSignedIndex;

#endif
