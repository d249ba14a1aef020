// The solve loops for any CPU, in plain C++.
#include "lanes_portable.h"

#define ZELMOR_LANES_TARGET
#include "solve_loops.h"

namespace zelmor {
namespace detail {

extern const SolveLoops kPortableLoops = loopsOf<PortableLanes>();

}  // namespace detail
}  // namespace zelmor
