// zelmor_engine's commands but 'checksum' (checksum.h): each reads its inputs from prhs (prhs[0]
// is the command's name), runs its work beside the host and writes its outputs to plhs. The
// usage of each is at the top of zelmor_engine.cpp.
#ifndef ZELMOR_GATEWAYS_ENGINE_COMMANDS_H
#define ZELMOR_GATEWAYS_ENGINE_COMMANDS_H

#include "mex_host.h"

namespace zelmor::enginegateway {

void kernelCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void decisionCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void pathCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void crossvalCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void trainCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void unitsCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void fitCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void memoryCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void calibrateCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void probabilitiesCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void gridCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void quietSecondsCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // namespace zelmor::enginegateway

#endif  // ZELMOR_GATEWAYS_ENGINE_COMMANDS_H
