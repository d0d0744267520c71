#ifndef QUORIL_SYMBOLIC_COLUMNS_H_
#define QUORIL_SYMBOLIC_COLUMNS_H_

// Private to the core: the columns that a list of Parameters gives a
// Jacobian or a Hessian, one per Parameter lane, checked in one place.

#include <cstddef>
#include <span>
#include <unordered_map>

#include "symbolic/internal.h"

namespace quoril::symbolic {

// The column of the first lane of each Parameter, found by node.
struct Columns {
  std::unordered_map<const ValueNode*, std::size_t> first;
  std::size_t count = 0;
};

// Throws std::invalid_argument for an entry that is not a Parameter or is
// given twice.
inline Columns columns_of(std::span<const Value> params) {
  Columns columns;
  columns.first.reserve(params.size());
  for (const Value& param : params) {
    require_valid(param, "parameter");
    const ValueNode* node = detail::NodeAccess::get(param);
    if (node->kind != ValueKind::Parameter) {
      detail::throw_invalid_argument("jacobian columns must be Parameters");
    }
    if (!columns.first.emplace(node, columns.count).second) {
      detail::throw_invalid_argument("jacobian Parameter given twice");
    }
    columns.count += static_cast<std::size_t>(node->dimension);
  }
  return columns;
}

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_COLUMNS_H_
