/* Stand-in for MATLAB's matrix.h, the C Matrix API (libmx): the declarations zelmor's gateways
   use, each written from its MathWorks reference page, so that the MATLAB builds compile and
   link where no MATLAB is installed. It declares nothing the project does not call: a call
   outside this list fails to compile here, which is the point. */
#ifndef ZELMOR_STAND_IN_MATRIX_H
#define ZELMOR_STAND_IN_MATRIX_H

#ifndef __cplusplus
#include <stdbool.h>
#endif
#include <stddef.h>

#include "tmwtypes.h"

/* mex -R2017b and -R2018a define MATLAB_DEFAULT_RELEASE; without it MATLAB builds for R2017b.
   R2018a brings the interleaved complex API, which the gateways ask for. */
#define R2017b 700
#define R2018a 800
#ifndef MATLAB_DEFAULT_RELEASE
#define MATLAB_DEFAULT_RELEASE R2017b
#endif
#if MATLAB_DEFAULT_RELEASE == R2018a
#define MX_HAS_INTERLEAVED_COMPLEX 1
#define MX_TARGET_API_VER 800
#elif MATLAB_DEFAULT_RELEASE == R2017b
#define MX_HAS_INTERLEAVED_COMPLEX 0
#define MX_TARGET_API_VER 700
#else
#error "MATLAB_DEFAULT_RELEASE must be R2017b or R2018a"
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;

#ifdef __cplusplus
typedef bool mxLogical;
typedef char16_t mxChar;
#else
typedef bool mxLogical;
typedef unsigned short mxChar;
#endif

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX } mxComplexity;

/* Creation. In a MEX file a failed allocation does not return: MATLAB ends the call. */
mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity ComplexFlag);
mxArray *mxCreateDoubleScalar(double value);
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid, mxComplexity ComplexFlag);
mxArray *mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid, mxComplexity ComplexFlag);
mxArray *mxCreateLogicalMatrix(mwSize m, mwSize n);
mxArray *mxCreateLogicalArray(mwSize ndim, const mwSize *dims);
mxArray *mxCreateLogicalScalar(mxLogical value);
mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames);
mxArray *mxCreateCellMatrix(mwSize m, mwSize n);
mxArray *mxCreateString(const char *str);
/* An m-by-n sparse double with room for nzmax entries; its column starts are all 0. */
mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity ComplexFlag);
void mxDestroyArray(mxArray *pm);

/* Questions. */
bool mxIsDouble(const mxArray *pm);
bool mxIsComplex(const mxArray *pm);
bool mxIsSparse(const mxArray *pm);
bool mxIsChar(const mxArray *pm);
bool mxIsStruct(const mxArray *pm);
bool mxIsCell(const mxArray *pm);
bool mxIsEmpty(const mxArray *pm);
bool mxIsNumeric(const mxArray *pm);
bool mxIsLogical(const mxArray *pm);
mxClassID mxGetClassID(const mxArray *pm);
const char *mxGetClassName(const mxArray *pm);
size_t mxGetM(const mxArray *pm);
size_t mxGetN(const mxArray *pm);
size_t mxGetNumberOfElements(const mxArray *pm);
mwSize mxGetNumberOfDimensions(const mxArray *pm);
const mwSize *mxGetDimensions(const mxArray *pm);
size_t mxGetElementSize(const mxArray *pm);

/* Contents. */
void *mxGetData(const mxArray *pm);
double mxGetScalar(const mxArray *pm);
mxLogical *mxGetLogicals(const mxArray *array_ptr);
/* A sparse array's column starts (n + 1) and row indices (nzmax); mxGetData gives its values. */
mwIndex *mxGetJc(const mxArray *pm);
mwIndex *mxGetIr(const mxArray *pm);
mxChar *mxGetChars(const mxArray *array_ptr);
int mxGetString(const mxArray *pm, char *str, mwSize strlen);
mxArray *mxGetField(const mxArray *pm, mwIndex index, const char *fieldname);
void mxSetFieldByNumber(mxArray *pm, mwIndex index, int fieldnumber, mxArray *pvalue);
mxArray *mxGetCell(const mxArray *pm, mwIndex index);
void mxSetCell(mxArray *pm, mwIndex index, mxArray *value);

#ifdef __cplusplus
}
#endif

#endif
