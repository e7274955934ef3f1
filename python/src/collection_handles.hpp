#pragma once

// The Python `Client` and `Collection` objects and the one way they reach the collection
// manager: under its read/write lock, with the interpreter lock released when asked.
//
// Lock order: a call that runs without the interpreter lock releases it *before* taking the
// manager lock and gives the manager lock back before taking the interpreter lock again, so
// a thread holding one lock never waits for the other. Nothing inside a locked section
// touches a Python object.

#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

#include "borrow.hpp"
#include "errors.hpp"
#include "manager.hpp"

namespace tvdb::py {

struct PyClient {
    std::shared_ptr<SharedManager> shared;
    BorrowFlag borrow;
};

struct PyCollection {
    std::shared_ptr<SharedManager> shared;
    std::string name;
    BorrowFlag borrow;
};

enum class Access { Shared, Exclusive };
enum class Gil { Held, Released };

// A failure that escaped a locked section; the lock is poisoned by it.
struct Panic {
    std::string message;
};

template <typename T>
using Locked = std::expected<T, Panic>;

inline constexpr const char* kPoisonedMessage =
    "collection manager lock poisoned by an earlier failure";

// Runs `work(manager)` under the manager lock. A poisoned lock refuses at once; an
// exception escaping `work` poisons it.
template <typename Work>
auto run_locked(SharedManager& shared, Access access, Work&& work)
    -> Locked<std::invoke_result_t<Work&, CollectionManager&>> {
    using T = std::invoke_result_t<Work&, CollectionManager&>;
    auto guarded = [&]() -> Locked<T> {
        if (shared.poisoned()) return std::unexpected(Panic{kPoisonedMessage});
        try {
            return work(shared.manager());
        } catch (const std::exception& e) {
            shared.poison();
            return std::unexpected(Panic{e.what()});
        } catch (...) {
            shared.poison();
            return std::unexpected(Panic{"unknown failure"});
        }
    };
    if (access == Access::Shared) {
        std::shared_lock lock(shared.lock());
        return guarded();
    }
    std::unique_lock lock(shared.lock());
    return guarded();
}

// run_locked, releasing the interpreter lock around it when asked; raises PanicException.
template <typename Work>
auto manager_call(SharedManager& shared, Access access, Gil gil, Work&& work)
    -> std::invoke_result_t<Work&, CollectionManager&> {
    using T = std::invoke_result_t<Work&, CollectionManager&>;
    std::optional<Locked<T>> outcome;
    if (gil == Gil::Released) {
        nanobind::gil_scoped_release release;
        outcome.emplace(run_locked(shared, access, work));
    } else {
        outcome.emplace(run_locked(shared, access, work));
    }
    if (!*outcome) raise_panic(outcome->error().message);
    return std::move(**outcome);
}

[[noreturn]] inline void raise_collection_missing(const std::string& name) {
    raise_python(PyExc_KeyError, "collection '" + name + "' not found");
}

// Runs `work(collection)` (returning a Result) on the handle's collection and unwraps it:
// KeyError when the collection is gone, the mapped exception for a core error.
template <typename Work>
auto collection_call(PyCollection& self, Access access, Gil gil, Work&& work) {
    using R = std::invoke_result_t<Work&, Collection&>;
    const std::string& name = self.name;
    auto outcome = manager_call(*self.shared, access, gil,
                                [&](CollectionManager& manager) -> std::optional<R> {
                                    Collection* collection = manager.get(name);
                                    if (collection == nullptr) return std::nullopt;
                                    return work(*collection);
                                });
    if (!outcome) raise_collection_missing(name);
    return unwrap(std::move(*outcome));
}

inline nanobind::object new_collection_handle(std::shared_ptr<SharedManager> shared,
                                              std::string name) {
    return nanobind::cast(new PyCollection{std::move(shared), std::move(name), {}},
                          nanobind::rv_policy::take_ownership);
}

void register_client(nanobind::module_& module);
void register_collection(nanobind::module_& module);
// The Collection methods that work on many records at once.
void define_collection_bulk_methods(nanobind::class_<PyCollection>& cls);

}  // namespace tvdb::py
