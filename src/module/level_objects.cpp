#include "module/level_objects.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace py = pybind11;

namespace corvane {
namespace {

constexpr std::size_t kMaxCached = 1 << 16;

struct ValueKey {
    std::uint64_t units;
    int scale;
    bool operator==(const ValueKey& other) const {
        return units == other.units && scale == other.scale;
    }
};

struct ValueHash {
    std::size_t operator()(const ValueKey& key) const {
        return static_cast<std::size_t>((key.units * 0x9E3779B97F4A7C15ULL) ^
                                        static_cast<std::uint64_t>(key.scale));
    }
};

// Owned references; kept for the life of the interpreter (never destroyed at exit, when the
// Decimals may already be gone).
class DecimalCache {
public:
    PyObject* get(const book::Decimal& value) {
        const ValueKey key{value.units(), value.scale()};
        const auto found = values.find(key);
        if (found != values.end()) return Py_NewRef(found->second);
        if (values.size() >= kMaxCached) clear();
        PyObject* made = make(value);
        values.emplace(key, Py_NewRef(made));
        return made;
    }

private:
    PyObject* make(const book::Decimal& value) {
        if (decimal_type == nullptr) {
            decimal_type = py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
        }
        const std::string text = value.text();
        py::object str = py::reinterpret_steal<py::object>(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!str) throw py::error_already_set();
        PyObject* made = PyObject_CallOneArg(decimal_type, str.ptr());
        if (made == nullptr) throw py::error_already_set();
        return made;
    }
    void clear() {
        for (auto& entry : values)
            Py_DECREF(entry.second);
        values.clear();
    }

    PyObject* decimal_type = nullptr;
    std::unordered_map<ValueKey, PyObject*, ValueHash> values;
};

DecimalCache& cache() {
    static auto* shared = new DecimalCache();  // see DecimalCache: never destroyed
    return *shared;
}

PyObject* new_pair(const book::Level& level) {
    PyObject* price = cache().get(level.price);
    PyObject* size = nullptr;
    try {
        size = cache().get(level.size);
    } catch (...) {
        Py_DECREF(price);
        throw;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
        Py_DECREF(price);
        Py_DECREF(size);
        throw py::error_already_set();
    }
    PyTuple_SET_ITEM(pair, 0, price);
    PyTuple_SET_ITEM(pair, 1, size);
    return pair;
}

struct PairKey {
    ValueKey price;
    ValueKey size;
    bool operator==(const PairKey& other) const {
        return price == other.price && size == other.size;
    }
};

struct PairHash {
    std::size_t operator()(const PairKey& key) const {
        return ValueHash()(key.price) * 31 + ValueHash()(key.size);
    }
};

// Whole (price, size) tuples: a level that did not change since the last read is one lookup.
class PairCache {
public:
    PyObject* get(const book::Level& level) {
        const PairKey key{{level.price.units(), level.price.scale()},
                          {level.size.units(), level.size.scale()}};
        const auto found = pairs.find(key);
        if (found != pairs.end()) return Py_NewRef(found->second);
        if (pairs.size() >= kMaxCached) clear();
        PyObject* made = new_pair(level);
        pairs.emplace(key, Py_NewRef(made));
        return made;
    }

private:
    void clear() {
        for (auto& entry : pairs)
            Py_DECREF(entry.second);
        pairs.clear();
    }
    std::unordered_map<PairKey, PyObject*, PairHash> pairs;
};

PyObject* pair_of(const book::Level& level) {
    static auto* shared = new PairCache();  // as DecimalCache: never destroyed
    return shared->get(level);
}

}  // namespace

py::list level_list(const std::vector<book::Level>& levels) {
    py::list out(levels.size());
    for (std::size_t i = 0; i < levels.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), pair_of(levels[i]));
    return out;
}

py::object level_pair(const std::optional<book::Level>& level) {
    if (!level) return py::none();
    return py::reinterpret_steal<py::object>(pair_of(*level));
}

}  // namespace corvane
