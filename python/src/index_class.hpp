#pragma once

// The shape every standalone index class shares: the Python object owns one core index and
// a borrow flag; members convert arguments, borrow, run the core (without the interpreter
// lock where the member is marked free), and convert the result or error.

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "array_convert.hpp"
#include "batch_search.hpp"
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

inline constexpr const char* kSearchBatchDoc =
    R"(Search many queries at once; returns (ids, distances).

`queries` is a 2-D array of any float dtype (converted to float32 once) or a list of
vectors. Both results have shape (len(queries), k): row i holds query i's hits nearest
first, exactly as search(queries[i], k) returns them; a row with fewer than k hits is
padded with id 2**64 - 1 and distance +inf. ids are uint64, distances float32. The queries
run on `num_threads` worker threads (0 = all cores) with the interpreter lock released.)";

// Kinds with a batch search of their own (same answers as one search per query, faster).
template <typename Core>
inline constexpr bool kAnswersBatches =
    requires(const Core& core, const QueryRows& rows, VectorId* ids, float* distances) {
        core.search_rows(rows, uint64_t{0}, size_t{0}, ids, distances);
    };

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
            [](Wrapper& self, nb::handle vectors, U64Arg<"start_id"> start_id, nb::handle ids) {
                Matrix matrix = extract_2d_f32_buffer(vectors);
                std::optional<std::vector<uint64_t>> row_ids;
                if (!ids.is_none()) row_ids = extract_row_ids(ids, start_id, matrix.rows);
                BorrowFlag::Exclusive borrow(self.borrow);
                Result<void> added;
                {
                    nb::gil_scoped_release release;
                    added = bulk_insert(*self.core, matrix, start_id, row_ids);
                }
                unwrap(std::move(added));
            },
            nb::arg("vectors"), nb::arg("start_id") = 0, nb::arg("ids") = nb::none(),
            doc);
        return *this;
    }

    // search and search_batch, as the index's plain search answers them.
    IndexClass& searches(const char* search_doc) {
        cls_.def(
            "search",
            [](Wrapper& self, nb::handle query, U64Arg<"k"> k) {
                return search_one(self, query, [k](const Core& core, std::span<const float> q) {
                    return core.search(q, k);
                });
            },
            nb::arg("query"), nb::arg("k"), search_doc);
        cls_.def(
            "search_batch",
            [](Wrapper& self, nb::handle queries, U64Arg<"k"> k, U64Arg<"num_threads"> num_threads) {
                if constexpr (kAnswersBatches<Core>) {
                    return run_batch(self, queries, k, [&](const Core& core, const QueryRows& rows,
                                                           VectorId* ids, float* distances) {
                        return core.search_rows(rows, k, num_threads, ids, distances);
                    });
                } else {
                    return search_many(self, queries, k, num_threads,
                                       [k](const Core& core, std::span<const float> q) {
                                           return core.search(q, k);
                                       });
                }
            },
            nb::arg("queries"), nb::arg("k"), nb::arg("num_threads") = 0, kSearchBatchDoc);
        return *this;
    }

    using TunedSearch = Result<std::vector<SearchResult>> (Core::*)(std::span<const float>,
                                                                    uint64_t, uint64_t) const;

    // search and search_batch with a keyword-only tuning value for that call alone (None:
    // the index's own setting), answered by `tuned`.
    IndexClass& tuned_searches(const char* search_doc, const char* keyword, TunedSearch tuned) {
        auto searcher = [tuned, keyword](uint64_t k, nb::handle value) {
            std::optional<uint64_t> tuning;
            if (!value.is_none()) tuning = to_u64(value, keyword);
            return [tuned, k, tuning](const Core& core, std::span<const float> q) {
                return tuning ? (core.*tuned)(q, k, *tuning) : core.search(q, k);
            };
        };
        cls_.def(
            "search",
            [searcher](Wrapper& self, nb::handle query, U64Arg<"k"> k, nb::handle value) {
                return search_one(self, query, searcher(k, value));
            },
            nb::arg("query"), nb::arg("k"), nb::kw_only(), nb::arg(keyword) = nb::none(),
            search_doc);
        cls_.def(
            "search_batch",
            [searcher](Wrapper& self, nb::handle queries, U64Arg<"k"> k,
                       U64Arg<"num_threads"> num_threads, nb::handle value) {
                return search_many(self, queries, k, num_threads, searcher(k, value));
            },
            nb::arg("queries"), nb::arg("k"), nb::arg("num_threads") = 0, nb::kw_only(),
            nb::arg(keyword) = nb::none(), kSearchBatchDoc);
        return *this;
    }

    // __getstate__ / __setstate__ through the kind's saved layout, in memory.
    IndexClass& pickling() {
        cls_.def("__getstate__", [](Wrapper& self) {
            std::vector<uint8_t> bytes;
            {
                BorrowFlag::Shared borrow(self.borrow);
                bytes = self.core->to_bytes();
            }
            return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        });
        cls_.def("__setstate__", [](Wrapper& self, nb::bytes state) {
            std::span<const uint8_t> bytes(static_cast<const uint8_t*>(state.data()), state.size());
            auto loaded = unwrap(Core::from_bytes(bytes));
            new (&self) Wrapper{to_unique(std::move(loaded)), {}};
        });
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
    static std::vector<uint64_t> extract_row_ids(nb::handle ids, uint64_t start_id, uint64_t rows) {
        if (start_id != 0) raise_python(PyExc_ValueError, "start_id must be 0 when ids are given");
        auto row_ids = extract_ids(ids, "ids");
        if (row_ids.size() != rows) {
            raise_python(PyExc_ValueError, "ids has " + std::to_string(row_ids.size()) +
                                               " entries for " + std::to_string(rows) + " rows");
        }
        return row_ids;
    }

    static Result<void> bulk_insert(Core& core, const Matrix& matrix, uint64_t start_id,
                                    const std::optional<std::vector<uint64_t>>& ids) {
        uint64_t dimensions = core.config().dimensions;
        if (matrix.columns != dimensions) {
            return fail(VectorDbError::dimension_mismatch(dimensions, matrix.columns));
        }
        if (ids) return core.add_rows(*ids, matrix.data);
        return core.add_batch_contiguous(matrix.data, start_id);
    }

    template <typename Search>
    static nb::list search_one(Wrapper& self, nb::handle query, Search&& search) {
        auto values = extract_f32_vec(query, "query");
        BorrowFlag::Shared borrow(self.borrow);
        Result<std::vector<SearchResult>> hits;
        {
            nb::gil_scoped_release release;
            hits = search(*self.core, values);
        }
        return results_to_list(unwrap(std::move(hits)));
    }

    // Answers every query with `search` (core, query) -> hits, unless the kind has a batch
    // search of its own, which gives the same answers.
    template <typename Search>
    static nb::tuple search_many(Wrapper& self, nb::handle queries, uint64_t k,
                                 uint64_t num_threads, Search&& search) {
        return run_batch(self, queries, k, [&](const Core& core, const QueryRows& rows,
                                               VectorId* ids, float* distances) {
            return search_rows(rows, core.config().dimensions, k, num_threads,
                               [&](std::span<const float> q) { return search(core, q); }, ids,
                               distances);
        });
    }

    // The converted queries, answer arrays and locks around `answer(core, rows, ids,
    // distances)`.
    template <typename Answer>
    static nb::tuple run_batch(Wrapper& self, nb::handle queries, uint64_t k, Answer&& answer) {
        uint64_t dimensions = 0;
        {
            BorrowFlag::Shared borrow(self.borrow);
            dimensions = self.core->config().dimensions;
        }
        Matrix matrix = extract_float_rows(queries, "queries", dimensions);
        AnswerArrays answers(matrix.rows, k);
        BorrowFlag::Shared borrow(self.borrow);
        Result<void> done;
        {
            nb::gil_scoped_release release;
            done = answer(*self.core, query_rows(matrix), answers.ids(), answers.distances());
        }
        unwrap(std::move(done));
        return answers.release();
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
