// Stand-in libmx: arrays of doubles (full or sparse), logicals, text, structs and cells, enough for the calls
// zelmor makes and for a driver to build inputs and read outputs (see stand_in.h). Every
// array lives until mxDestroyArray; nothing here is meant to be fast.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "matrix.h"
#include "stand_in.h"

struct mxArray_tag {
    mxClassID classId = mxDOUBLE_CLASS;
    std::vector<mwSize> dims;
    std::vector<double> doubles;
    std::unique_ptr<mxLogical[]> logicals;
    std::string text;
    std::vector<mxChar> chars;  // text as MATLAB's 16-bit characters, made when asked for
    std::vector<std::string> fieldNames;
    std::vector<mxArray*> elements;  // struct fields (element by element) or cells
    bool sparse = false;             // then doubles holds nzmax values, at rows `rows`
    std::vector<mwIndex> columnStarts;
    std::vector<mwIndex> rows;
};

namespace {

int creationsUntilFailure = 0;

mwSize countOf(const std::vector<mwSize>& dims) {
    return std::accumulate(dims.begin(), dims.end(), mwSize{1}, std::multiplies<mwSize>());
}

mxArray* create(mxClassID classId, std::vector<mwSize> dims) {
    if (creationsUntilFailure > 0 && --creationsUntilFailure == 0) {
        throw standin::HostError{"MATLAB:nomem", "Out of memory."};
    }
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    while (dims.size() < 2) dims.push_back(1);
    auto array = std::make_unique<mxArray>();
    array->classId = classId;
    array->dims = std::move(dims);
    const mwSize count = countOf(array->dims);
    if (classId == mxDOUBLE_CLASS) array->doubles.assign(count, 0.0);
    if (classId == mxLOGICAL_CLASS) array->logicals = std::make_unique<mxLogical[]>(count);
    if (classId == mxCELL_CLASS) array->elements.assign(count, nullptr);
    return array.release();
}

}  // namespace

namespace standin {

void failCreationNumber(int count) {
    creationsUntilFailure = count;
}

}  // namespace standin

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity) {
    return create(mxDOUBLE_CLASS, {m, n});
}

mxArray* mxCreateDoubleScalar(double value) {
    mxArray* array = create(mxDOUBLE_CLASS, {1, 1});
    array->doubles[0] = value;
    return array;
}

mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity) {
    return create(classid, std::vector<mwSize>(dims, dims + ndim));
}

mxArray* mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid, mxComplexity) {
    return create(classid, {m, n});
}

mxArray* mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity) {
    mxArray* array = create(mxDOUBLE_CLASS, {0, 0});
    array->dims = {m, n};
    array->sparse = true;
    array->doubles.assign(nzmax, 0.0);
    array->rows.assign(nzmax, 0);
    array->columnStarts.assign(n + 1, 0);
    return array;
}

mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n) {
    return create(mxLOGICAL_CLASS, {m, n});
}

mxArray* mxCreateLogicalArray(mwSize ndim, const mwSize* dims) {
    return create(mxLOGICAL_CLASS, std::vector<mwSize>(dims, dims + ndim));
}

mxArray* mxCreateLogicalScalar(mxLogical value) {
    mxArray* array = create(mxLOGICAL_CLASS, {1, 1});
    array->logicals[0] = value;
    return array;
}

mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char** fieldnames) {
    mxArray* array = create(mxSTRUCT_CLASS, {m, n});
    array->fieldNames.assign(fieldnames, fieldnames + nfields);
    array->elements.assign(m * n * static_cast<mwSize>(nfields), nullptr);
    return array;
}

mxArray* mxCreateCellMatrix(mwSize m, mwSize n) {
    return create(mxCELL_CLASS, {m, n});
}

mxArray* mxCreateString(const char* str) {
    mxArray* array = create(mxCHAR_CLASS, {1, std::strlen(str)});
    array->text = str;
    return array;
}

void mxDestroyArray(mxArray* pm) {
    if (pm == nullptr) return;
    for (mxArray* element : pm->elements) mxDestroyArray(element);
    delete pm;
}

bool mxIsDouble(const mxArray* pm) { return pm->classId == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray*) { return false; }
bool mxIsSparse(const mxArray* pm) { return pm->sparse; }
bool mxIsChar(const mxArray* pm) { return pm->classId == mxCHAR_CLASS; }
bool mxIsStruct(const mxArray* pm) { return pm->classId == mxSTRUCT_CLASS; }
bool mxIsCell(const mxArray* pm) { return pm->classId == mxCELL_CLASS; }
bool mxIsEmpty(const mxArray* pm) { return countOf(pm->dims) == 0; }
bool mxIsNumeric(const mxArray* pm) { return pm->classId == mxDOUBLE_CLASS; }
bool mxIsLogical(const mxArray* pm) { return pm->classId == mxLOGICAL_CLASS; }
mxClassID mxGetClassID(const mxArray* pm) { return pm->classId; }

const char* mxGetClassName(const mxArray* pm) {
    switch (pm->classId) {
        case mxDOUBLE_CLASS: return "double";
        case mxLOGICAL_CLASS: return "logical";
        case mxCHAR_CLASS: return "char";
        case mxSTRUCT_CLASS: return "struct";
        case mxCELL_CLASS: return "cell";
        default: return "unknown";
    }
}

size_t mxGetM(const mxArray* pm) { return pm->dims[0]; }
size_t mxGetN(const mxArray* pm) { return countOf(pm->dims) / std::max<mwSize>(pm->dims[0], 1); }
size_t mxGetNumberOfElements(const mxArray* pm) { return countOf(pm->dims); }
mwSize mxGetNumberOfDimensions(const mxArray* pm) { return pm->dims.size(); }
const mwSize* mxGetDimensions(const mxArray* pm) { return pm->dims.data(); }

size_t mxGetElementSize(const mxArray* pm) {
    switch (pm->classId) {
        case mxLOGICAL_CLASS: return sizeof(mxLogical);
        case mxCHAR_CLASS: return sizeof(mxChar);
        case mxDOUBLE_CLASS: return sizeof(double);
        default: return sizeof(void*);
    }
}

mxChar* mxGetChars(const mxArray* array_ptr) {
    if (array_ptr->classId != mxCHAR_CLASS) return nullptr;
    auto* array = const_cast<mxArray*>(array_ptr);
    array->chars.assign(array->text.begin(), array->text.end());
    return array->chars.data();
}

void* mxGetData(const mxArray* pm) {
    if (pm->classId == mxLOGICAL_CLASS) return pm->logicals.get();
    return const_cast<double*>(pm->doubles.data());
}

double mxGetScalar(const mxArray* pm) {
    if (pm->classId == mxLOGICAL_CLASS) return pm->logicals[0] ? 1.0 : 0.0;
    return pm->doubles.empty() ? 0.0 : pm->doubles[0];
}

mxLogical* mxGetLogicals(const mxArray* array_ptr) { return array_ptr->logicals.get(); }

mwIndex* mxGetJc(const mxArray* pm) { return pm->sparse ? const_cast<mwIndex*>(pm->columnStarts.data()) : nullptr; }
mwIndex* mxGetIr(const mxArray* pm) { return pm->sparse ? const_cast<mwIndex*>(pm->rows.data()) : nullptr; }

int mxGetString(const mxArray* pm, char* str, mwSize strlen) {
    if (pm->classId != mxCHAR_CLASS || strlen == 0) return 1;
    const mwSize copied = std::min<mwSize>(pm->text.size(), strlen - 1);
    std::memcpy(str, pm->text.data(), copied);
    str[copied] = '\0';
    return copied == pm->text.size() ? 0 : 1;
}

mxArray* mxGetField(const mxArray* pm, mwIndex index, const char* fieldname) {
    const auto& names = pm->fieldNames;
    const auto found = std::find(names.begin(), names.end(), fieldname);
    if (pm->classId != mxSTRUCT_CLASS || found == names.end()) return nullptr;
    return pm->elements[index * names.size() + static_cast<mwSize>(found - names.begin())];
}

void mxSetFieldByNumber(mxArray* pm, mwIndex index, int fieldnumber, mxArray* pvalue) {
    // As in MATLAB, a value already in the field is the caller's to destroy.
    pm->elements[index * pm->fieldNames.size() + static_cast<mwSize>(fieldnumber)] = pvalue;
}

mxArray* mxGetCell(const mxArray* pm, mwIndex index) {
    return pm->classId == mxCELL_CLASS ? pm->elements[index] : nullptr;
}

void mxSetCell(mxArray* pm, mwIndex index, mxArray* value) {
    pm->elements[index] = value;
}
