#ifndef QUORIL_SYMBOLIC_NODES_H_
#define QUORIL_SYMBOLIC_NODES_H_

// Private to the core: how nodes come to be, shared by the leaf factories
// and the builders: the id counter and the constructors behind them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "symbolic/value.h"

namespace quoril::symbolic {

// The process-wide node id counter; one fetch-and-add per created node.
extern std::atomic<std::uint64_t> g_next_value_id;

// Creates a leaf from arguments the caller has already checked.
std::shared_ptr<ValueNode> new_leaf(ValueKind kind, int dimension,
                                    const SmallValue& value,
                                    const std::optional<SmallValue>& hint,
                                    std::string name);

Value binary_expression(ExpressionOp op, Value left, Value right);
Value unary_expression(ExpressionOp op, Value operand);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_NODES_H_
