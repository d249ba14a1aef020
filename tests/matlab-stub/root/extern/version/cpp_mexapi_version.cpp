// Stand-in for MATLAB's extern/version/cpp_mexapi_version.cpp, which mex (and CMake's
// matlab_add_mex) compiles into every C++ MEX file: MATLAB asks a MEX file, through this one
// function, which release built it and for which API, and refuses one that does not export it
// ("Custom-built MEX File Not Supported In Current Release"). Its linkage comes from mex.h,
// without a mark of its own, as in MATLAB's file.
#include "mex.h"

MEXFUNCTION_LINKAGE void mexfilerequiredapiversion(unsigned int* builtByRelease, unsigned int* targetApiVersion) {
    *builtByRelease = 0x2022b;
    *targetApiVersion = MX_TARGET_API_VER;
}
