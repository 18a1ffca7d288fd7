#include "py_binding/borrow_ledger.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <tuple>

namespace quillmoor::py {

namespace {

struct KeyOrder {
    bool operator()(const BorrowKey& left, const BorrowKey& right) const noexcept {
        return std::tie(left.base, left.start, left.end) <
               std::tie(right.base, right.start, right.end);
    }
};

// Only read borrows exist, so there is nothing to refuse: the ledger just counts them
// per key. Its operations never call into Python, so holding the mutex is brief.
struct BorrowLedger {
    std::mutex mutex;
    std::map<BorrowKey, std::size_t, KeyOrder> read_borrows;  // guarded by mutex
    std::size_t total_read_borrows = 0;                       // guarded by mutex
};

BorrowLedger& ledger_of(void* state) noexcept { return *static_cast<BorrowLedger*>(state); }

int acquire_read(void* state, const BorrowKey* key) noexcept {
    try {
        BorrowLedger& ledger = ledger_of(state);
        const std::lock_guard lock(ledger.mutex);
        ++ledger.read_borrows[*key];
        ++ledger.total_read_borrows;
        return BORROW_OK;
    } catch (...) {
        return BORROW_REGISTRY_FAULT;
    }
}

int release_read(void* state, const BorrowKey* key) noexcept {
    try {
        BorrowLedger& ledger = ledger_of(state);
        const std::lock_guard lock(ledger.mutex);
        const auto found = ledger.read_borrows.find(*key);
        if (found == ledger.read_borrows.end()) {
            return BORROW_NOT_HELD;
        }
        if (--found->second == 0) {
            ledger.read_borrows.erase(found);
        }
        --ledger.total_read_borrows;
        return BORROW_OK;
    } catch (...) {
        return BORROW_REGISTRY_FAULT;
    }
}

std::size_t read_borrow_count(void* state) noexcept {
    try {
        BorrowLedger& ledger = ledger_of(state);
        const std::lock_guard lock(ledger.mutex);
        return ledger.total_read_borrows;
    } catch (...) {
        return 0;
    }
}

}  // namespace

BorrowRegistryTable* new_borrow_registry() {
    auto ledger = std::make_unique<BorrowLedger>();
    auto table = std::make_unique<BorrowRegistryTable>(BorrowRegistryTable{
        BORROW_REGISTRY_VERSION, ledger.get(), &acquire_read, &release_read, &read_borrow_count});
    static_cast<void>(ledger.release());
    return table.release();
}

void delete_borrow_registry(BorrowRegistryTable* table) noexcept {
    if (table != nullptr) {
        delete static_cast<BorrowLedger*>(table->state);
        delete table;
    }
}

}  // namespace quillmoor::py
