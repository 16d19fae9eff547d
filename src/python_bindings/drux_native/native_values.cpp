// Python <-> KVal. Nested values recurse at most kMaxNestingDepth levels,
// the bound the nested encoding itself enforces.
#include "python_bindings/drux_native/native_values.h"

#include <string_view>
#include <utility>

#include "drux_v2/nested_codec.h"

namespace drux::native {
namespace {

// A strong reference released on every path.
struct Ref {
  PyObject* p;
  explicit Ref(PyObject* object) : p(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p); }
  PyObject* release() { return std::exchange(p, nullptr); }
};

PyObject* str_to_python(const std::string& text) {
  // surrogateescape keeps bytes that are not UTF-8 instead of failing the read.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

PyObject* pairs_to_list(const auto& pairs, auto&& key_to_python) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list.p) return nullptr;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    Ref key(key_to_python(pairs[i].first));
    if (!key.p) return nullptr;
    Ref value(to_python(pairs[i].second));
    if (!value.p) return nullptr;
    PyObject* pair = PyTuple_Pack(2, key.p, value.p);
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.p, static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* object_to_python(const KObject& fields) {
  Ref dict(PyDict_New());
  if (!dict.p) return nullptr;
  for (const auto& [name, field] : fields) {
    Ref key(str_to_python(name));
    if (!key.p) return nullptr;
    Ref value(to_python(field));
    if (!value.p || PyDict_SetItem(dict.p, key.p, value.p) < 0) return nullptr;
  }
  if (static_cast<std::size_t>(PyDict_GET_SIZE(dict.p)) == fields.size()) return dict.release();
  return pairs_to_list(fields, str_to_python);  // names repeat: keep every field
}

// ---- Python to KVal -------------------------------------------------------------

struct Converter {
  const std::string& column;
  std::uint64_t row;

  bool fail(PyObject* type, const std::string& what) {
    PyErr_Format(type, "column '%s', row %llu: %s", column.c_str(), static_cast<unsigned long long>(row),
                 what.c_str());
    return false;
  }

  bool wrong_type(const char* expected, PyObject* obj) {
    return fail(PyExc_TypeError, std::string("expected ") + expected + ", got " + Py_TYPE(obj)->tp_name);
  }

  bool integer(PyObject* obj, KVal& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return fail(PyExc_ValueError, "integer does not fit in 64 bits");
    if (v == -1 && PyErr_Occurred()) return false;
    out = KVal::Int(v);
    return true;
  }

  bool text(PyObject* obj, KVal& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) {
      PyErr_Clear();
      return fail(PyExc_ValueError, "text cannot be encoded as UTF-8");
    }
    out = KVal::Str(std::string(utf8, static_cast<std::size_t>(size)));
    return true;
  }

  bool bytes(PyObject* obj, KVal& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_CONTIG_RO) < 0) return false;
    out = KVal::Bytes(std::string(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
    PyBuffer_Release(&view);
    return true;
  }

  static bool is_bytes_like(PyObject* obj) {
    return PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj);
  }

  // A sequence of (key, value) pairs, or a dict, into Object fields or Map pairs.
  template <class Pairs, class KeyFn>
  bool pairs(PyObject* obj, Pairs& out, int depth, KeyFn&& convert_key) {
    if (PyDict_Check(obj)) {
      PyObject* key;
      PyObject* value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(obj, &pos, &key, &value)) {
        if (!add_pair(out, key, value, depth, convert_key)) return false;
      }
      return true;
    }
    Ref items(PySequence_Fast(obj, "expected a dict or a list of (key, value) pairs"));
    if (!items.p) {
      PyErr_Clear();
      return wrong_type("a dict or a list of (key, value) pairs", obj);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.p);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.p, i);
      if (!PyTuple_Check(item) && !PyList_Check(item)) return wrong_type("a (key, value) pair", item);
      if (PySequence_Size(item) != 2) return fail(PyExc_ValueError, "a (key, value) pair must have two items");
      Ref key(PySequence_GetItem(item, 0));
      Ref value(PySequence_GetItem(item, 1));
      if (!key.p || !value.p || !add_pair(out, key.p, value.p, depth, convert_key)) return false;
    }
    return true;
  }

  template <class Pairs, class KeyFn>
  bool add_pair(Pairs& out, PyObject* key, PyObject* value, int depth, KeyFn&& convert_key) {
    typename Pairs::value_type pair;
    if (!convert_key(key, pair.first) || !nested(value, pair.second, depth + 1)) return false;
    out.push_back(std::move(pair));
    return true;
  }

  bool field_name(PyObject* key, std::string& name) {
    if (!PyUnicode_Check(key)) return wrong_type("str field names", key);
    KVal text_value;
    if (!text(key, text_value)) return false;
    name = text_value.str_value();
    return true;
  }

  bool object(PyObject* obj, KVal& out, int depth) {
    KObject fields;
    if (!pairs(obj, fields, depth, [this](PyObject* k, std::string& name) { return field_name(k, name); }))
      return false;
    out = KVal::Object(std::move(fields));
    return true;
  }

  bool map(PyObject* obj, KVal& out, int depth) {
    KMap entries;
    if (!pairs(obj, entries, depth, [this, depth](PyObject* k, KVal& key) { return nested(k, key, depth + 1); }))
      return false;
    out = KVal::Map(std::move(entries));
    return true;
  }

  bool list(PyObject* obj, KVal& out, int depth) {
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) return wrong_type("a list", obj);
    Ref items(PySequence_Fast(obj, "expected a list"));
    if (!items.p) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.p);
    KList values(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!nested(PySequence_Fast_GET_ITEM(items.p, i), values[static_cast<std::size_t>(i)], depth + 1)) return false;
    }
    out = KVal::List(std::move(values));
    return true;
  }

  // Any value inside a nested column: a dict whose keys are all str is an
  // Object, any other dict a Map; lists and tuples are Lists.
  bool nested(PyObject* obj, KVal& out, int depth) {
    if (depth > kMaxNestingDepth) {
      return fail(PyExc_ValueError, "value nested deeper than " + std::to_string(kMaxNestingDepth) + " levels");
    }
    if (obj == Py_None) {
      out = KVal::Null();
      return true;
    }
    if (PyBool_Check(obj)) {
      out = KVal::Bool(obj == Py_True);
      return true;
    }
    if (PyLong_Check(obj)) return integer(obj, out);
    if (PyFloat_Check(obj)) {
      out = KVal::Float(PyFloat_AS_DOUBLE(obj));
      return true;
    }
    if (PyUnicode_Check(obj)) return text(obj, out);
    if (is_bytes_like(obj)) return bytes(obj, out);
    if (PyDict_Check(obj)) {
      PyObject* key;
      PyObject* value;
      Py_ssize_t pos = 0;
      bool all_str = true;
      while (all_str && PyDict_Next(obj, &pos, &key, &value)) all_str = PyUnicode_Check(key);
      return all_str ? object(obj, out, depth) : map(obj, out, depth);
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) return list(obj, out, depth);
    return wrong_type("None, bool, int, float, str, bytes, dict, list or tuple", obj);
  }

  bool convert(PyObject* obj, ColType type, KVal& out) {
    if (obj == Py_None) {
      out = KVal::Null();
      return true;
    }
    switch (type) {
      case ColType::Int:
        if (!PyLong_Check(obj) || PyBool_Check(obj)) return wrong_type("int", obj);
        return integer(obj, out);
      case ColType::Float:
        if (PyFloat_Check(obj)) {
          out = KVal::Float(PyFloat_AS_DOUBLE(obj));
          return true;
        }
        if (!PyLong_Check(obj) || PyBool_Check(obj)) return wrong_type("float", obj);
        if (double v = PyLong_AsDouble(obj); v != -1.0 || !PyErr_Occurred()) {
          out = KVal::Float(v);
          return true;
        }
        PyErr_Clear();
        return fail(PyExc_ValueError, "integer too large for a float");
      case ColType::Bool:
        if (!PyBool_Check(obj)) return wrong_type("bool", obj);
        out = KVal::Bool(obj == Py_True);
        return true;
      case ColType::Str:
        if (!PyUnicode_Check(obj)) return wrong_type("str", obj);
        return text(obj, out);
      case ColType::Bytes:
        if (!is_bytes_like(obj)) return wrong_type("bytes", obj);
        return bytes(obj, out);
      case ColType::Object:
        return object(obj, out, 1);
      case ColType::List:
        return list(obj, out, 1);
      case ColType::Map:
        return map(obj, out, 1);
    }
    return wrong_type("a known column type", obj);
  }
};

}  // namespace

PyObject* to_python(const KVal& value) {
  switch (value.tag()) {
    case KTag::Int:
      return PyLong_FromLongLong(value.int_value());
    case KTag::Float:
      return PyFloat_FromDouble(value.float_value());
    case KTag::Bool:
      return PyBool_FromLong(value.bool_value());
    case KTag::Str:
      return str_to_python(value.str_value());
    case KTag::Bytes:
      return PyBytes_FromStringAndSize(value.bytes_value().data(), static_cast<Py_ssize_t>(value.bytes_value().size()));
    case KTag::Null:
      Py_RETURN_NONE;
    case KTag::Object:
      return object_to_python(value.object_value());
    case KTag::List: {
      const KList& items = value.list_value();
      Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list.p) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_python(items[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.p, static_cast<Py_ssize_t>(i), item);
      }
      return list.release();
    }
    case KTag::Map:
      return pairs_to_list(value.map_value(), [](const KVal& key) { return to_python(key); });
  }
  PyErr_SetString(PyExc_SystemError, "unknown cell variant");
  return nullptr;
}

bool from_python(PyObject* obj, ColType type, const std::string& column, std::uint64_t row, KVal& out) {
  Converter converter{column, row};
  return converter.convert(obj, type, out);
}

}  // namespace drux::native
