#pragma once

// The shape every standalone index class shares: the Python object owns one core index and
// a borrow flag; members convert arguments, borrow, run the core (without the interpreter
// lock where the member is marked free), and convert the result or error.

#include <memory>
#include <string>
#include <type_traits>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "borrow.hpp"
#include "convert.hpp"
#include "errors.hpp"

namespace tvdb::py {

namespace nb = nanobind;

// The docstring of add_batch_np for the kinds that have nothing to add to it.
inline constexpr const char* kPlainAddBatchNpDoc =
    "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`.";

// For members documented by their signature alone.
inline constexpr const char* kSignatureOnly = "";

template <typename Core>
struct PyIndex {
    std::unique_ptr<Core> core;
    BorrowFlag borrow;
};

template <typename Core>
class IndexClass {
public:
    using Wrapper = PyIndex<Core>;

    IndexClass(nb::module_& module, const char* name, const char* doc)
        : cls_(module, name, doc), name_(name) {}

    nb::class_<Wrapper>& cls() { return cls_; }

    IndexClass& add(const char* doc) {
        cls_.def(
            "add",
            [](Wrapper& self, U64Arg<"id"> id, nb::handle vector) {
                auto values = extract_f32_vec(vector, "vector");
                BorrowFlag::Exclusive borrow(self.borrow);
                unwrap(self.core->add(id, values));
            },
            nb::arg("id"), nb::arg("vector"), doc);
        return *this;
    }

    IndexClass& add_batch(const char* doc) {
        cls_.def(
            "add_batch",
            [](Wrapper& self, nb::handle entries) {
                auto converted = extract_batch_entries(entries);
                BorrowFlag::Exclusive borrow(self.borrow);
                unwrap(self.core->add_batch(converted));
            },
            nb::arg("entries"), doc);
        return *this;
    }

    IndexClass& add_batch_np(const char* doc) {
        cls_.def(
            "add_batch_np",
            [](Wrapper& self, nb::handle vectors, U64Arg<"start_id"> start_id) {
                Matrix matrix = extract_2d_f32_buffer(vectors);
                BorrowFlag::Exclusive borrow(self.borrow);
                Result<void> added;
                {
                    nb::gil_scoped_release release;
                    added = bulk_insert(*self.core, matrix, start_id);
                }
                unwrap(std::move(added));
            },
            nb::arg("vectors"), nb::arg("start_id") = 0, doc);
        return *this;
    }

    IndexClass& search(const char* doc) {
        cls_.def(
            "search",
            [](Wrapper& self, nb::handle query, U64Arg<"k"> k) {
                auto values = extract_f32_vec(query, "query");
                BorrowFlag::Shared borrow(self.borrow);
                Result<std::vector<SearchResult>> hits;
                {
                    nb::gil_scoped_release release;
                    hits = self.core->search(values, k);
                }
                return results_to_list(unwrap(std::move(hits)));
            },
            nb::arg("query"), nb::arg("k"), doc);
        return *this;
    }

    IndexClass& remove(const char* doc) {
        cls_.def(
            "delete",
            [](Wrapper& self, U64Arg<"id"> id) {
                BorrowFlag::Exclusive borrow(self.borrow);
                return self.core->remove(id);
            },
            nb::arg("id"), doc);
        return *this;
    }

    // Finishes deferred work with the interpreter lock released; never raises.
    IndexClass& flush(const char* doc) {
        cls_.def(
            "flush",
            [](Wrapper& self) {
                BorrowFlag::Exclusive borrow(self.borrow);
                nb::gil_scoped_release release;
                self.core->flush();
            },
            doc);
        return *this;
    }

    IndexClass& save_load(const char* save_doc, const char* load_doc) {
        cls_.def(
            "save",
            [](Wrapper& self, const PathArg& path) {
                BorrowFlag::Shared borrow(self.borrow);
                unwrap(self.core->save(path));
            },
            nb::arg("path"), save_doc);
        cls_.def_static(
            "load",
            [](const PathArg& path) {
                auto loaded = unwrap(Core::load(path));
                return new Wrapper{to_unique(std::move(loaded)), {}};
            },
            nb::arg("path"), nb::rv_policy::take_ownership, load_doc);
        return *this;
    }

    // `dimensions`, `metric`, len() and repr(); docs may be null.
    IndexClass& properties(const char* dimensions_doc, const char* metric_doc) {
        auto dimensions = [](Wrapper& self) {
            BorrowFlag::Shared borrow(self.borrow);
            return self.core->config().dimensions;
        };
        auto metric = [](Wrapper& self) {
            BorrowFlag::Shared borrow(self.borrow);
            return std::string(metric_name(self.core->config().metric));
        };
        if (dimensions_doc) cls_.def_prop_ro("dimensions", dimensions, dimensions_doc);
        else cls_.def_prop_ro("dimensions", dimensions);
        if (metric_doc) cls_.def_prop_ro("metric", metric, metric_doc);
        else cls_.def_prop_ro("metric", metric);
        cls_.def("__len__", [](Wrapper& self) {
            BorrowFlag::Shared borrow(self.borrow);
            return self.core->len();
        });
        std::string name = name_;
        cls_.def("__repr__", [name](Wrapper& self) {
            BorrowFlag::Shared borrow(self.borrow);
            const IndexConfig& config = self.core->config();
            return name + "(dimensions=" + std::to_string(config.dimensions) + ", metric=\"" +
                   std::string(metric_name(config.metric)) +
                   "\", len=" + std::to_string(self.core->len()) + ")";
        });
        return *this;
    }

private:
    static Result<void> bulk_insert(Core& core, const Matrix& matrix, uint64_t start_id) {
        uint64_t dimensions = core.config().dimensions;
        if (matrix.columns != dimensions) {
            return fail(VectorDbError::dimension_mismatch(dimensions, matrix.columns));
        }
        return core.add_batch_contiguous(matrix.data, start_id);
    }

    template <typename T>
    static std::unique_ptr<Core> to_unique(T&& loaded) {
        if constexpr (std::is_same_v<std::decay_t<T>, std::unique_ptr<Core>>) {
            return std::move(loaded);
        } else {
            return std::make_unique<Core>(std::move(loaded));
        }
    }

    nb::class_<Wrapper> cls_;
    const char* name_;
};

}  // namespace tvdb::py
