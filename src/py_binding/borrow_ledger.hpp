#pragma once

#include "py_binding/borrow_registry_table.hpp"

namespace quillmoor::py {

// A new, empty registry: a table of the current version whose functions keep the
// borrows in a mutex-guarded ledger. Freed with delete_borrow_registry.
BorrowRegistryTable* new_borrow_registry();
void delete_borrow_registry(BorrowRegistryTable* table) noexcept;

}  // namespace quillmoor::py
