#ifndef QUORIL_SYMBOLIC_INTERNAL_H_
#define QUORIL_SYMBOLIC_INTERNAL_H_

// Private to the core: every private header in one include. What a node
// computes is in kernels.h, over the table of operations in operations.h.

#include <array>

#include "symbolic/checks.h"
#include "symbolic/nodes.h"
#include "symbolic/value.h"
#include "symbolic/walk.h"
#include "symbolic/walk_memory.h"

namespace quoril::symbolic {

// Fills topology.adjoints with the derivative of the seed-weighted root (the
// last node of an order built for backward) with respect to every node.
void reverse_sweep(Topology& topology, const std::array<double, 4>& seed);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_INTERNAL_H_
