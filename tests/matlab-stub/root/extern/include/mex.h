/* Stand-in for MATLAB's mex.h (libmex): the entry point and the calls zelmor's gateways make,
   written from MathWorks' reference pages, with two behaviours of MATLAB's own header that a
   build can trip over:
   - printf is mexPrintf, so that C code prints to the Command Window. Whatever names printf
     after this header (a format attribute, for one) names mexPrintf instead.
   - the entry point and the API version symbol get default visibility only through
     DLL_EXPORT_SYM (or MW_NEEDS_VERSION_H): a build with -fvisibility=hidden that defines
     neither hides mexfilerequiredapiversion, and MATLAB refuses the MEX file. */
#ifndef ZELMOR_STAND_IN_MEX_H
#define ZELMOR_STAND_IN_MEX_H

#include "matrix.h"

#if !defined(DLL_EXPORT_SYM) && defined(MW_NEEDS_VERSION_H)
#define DLL_EXPORT_SYM __attribute__((visibility("default")))
#endif
#ifndef DLL_EXPORT_SYM
#define DLL_EXPORT_SYM
#endif

#ifdef __cplusplus
#define MEXFUNCTION_LINKAGE extern "C" DLL_EXPORT_SYM
extern "C" {
#else
#define MEXFUNCTION_LINKAGE DLL_EXPORT_SYM
#endif

/* What MATLAB calls: nlhs outputs asked for, nrhs inputs given. */
MEXFUNCTION_LINKAGE void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

/* Raises the error in the caller and ends the call: does not return. In C++ the call's frames
   are unwound (their destructors run). */
void mexErrMsgIdAndTxt(const char *errorid, const char *errormsg, ...);
/* Raises the warning; returns, unless the caller has made the warning an error. */
void mexWarnMsgIdAndTxt(const char *warningid, const char *warningmsg, ...);
int mexPrintf(const char *message, ...);

#ifdef __cplusplus
}
#endif

#define printf mexPrintf

#endif
