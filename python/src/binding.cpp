#include "binding.hpp"

#include <string>

#include "py_ref.hpp"

namespace tarvik::py {

namespace {

// The missing required parameters in [from, to): 'a'; 'a' and 'b'; 'a',
// 'b', and 'c'; and how many.
std::string quoted_list(const Signature& sig, const std::array<PyObject*, kMaxParams>& slots,
                        std::size_t from, std::size_t to, std::size_t& count) {
  std::string names[kMaxParams];
  count = 0;
  for (std::size_t i = from; i < to; ++i) {
    if (slots[i] == nullptr && sig.params[i].required()) {
      names[count++] = std::string("'") + sig.params[i].name.text + "'";
    }
  }
  std::string out;
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) out += count == 2 ? " and " : (k + 1 == count ? ", and " : ", ");
    out += names[k];
  }
  return out;
}

bool is_numpy_bool_type(PyObject* type) {
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// The name of obj's type for a message, always a str: its __qualname__, or
// the str() of whatever a metaclass returned there, or its __name__. A type
// can answer these lookups with any object or an exception, and only a str
// may be formatted with %U.
PyRef type_name(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (name && !PyUnicode_Check(name.get())) name = PyRef::steal(PyObject_Str(name.get()));
  if (name) return name;
  PyErr_Clear();
  name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return PyRef::steal(PyUnicode_FromString("object"));
}

std::optional<bool> not_convertible_to_bool(PyObject* obj) {
  PyRef name = type_name(obj);
  if (!name) return std::nullopt;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBool'", name.get());
  return std::nullopt;
}

}  // namespace

std::string utf8(PyObject* text) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text));
  const char* data = bytes ? PyBytes_AsString(bytes.get()) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return data;
}

bool is_numpy_bool(PyObject* obj) {
  return is_numpy_bool_type(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

std::string qualified_type_name(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef name = type_name(obj);
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) PyErr_Clear();
  std::string out;
  if (module && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
    out = utf8(module.get()) + ".";
  }
  // NumPy's own classes may live in private modules (numpy._core); the
  // public name is what a user writes.
  if (out.rfind("numpy._core.", 0) == 0 || out.rfind("numpy.core.", 0) == 0) out = "numpy.";
  return out + (name ? utf8(name.get()) : std::string("object"));
}

void add_note(const char* text) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyRef note = PyRef::steal(PyUnicode_FromString(text));
    PyRef method = PyRef::steal(PyObject_GetAttrString(value, "add_note"));
    bool added = false;
    if (note && method) {
      added = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), note.get(), nullptr)).get() !=
              nullptr;
    } else if (note) {
      // Before CPython 3.11: the list that add_note keeps, made by hand.
      PyErr_Clear();
      PyRef notes = PyRef::steal(PyObject_GetAttrString(value, "__notes__"));
      if (!notes) {
        PyErr_Clear();
        notes = PyRef::steal(PyList_New(0));
        if (notes && PyObject_SetAttrString(value, "__notes__", notes.get()) < 0) notes = PyRef();
      }
      added = notes && PyList_Check(notes.get()) && PyList_Append(notes.get(), note.get()) == 0;
    }
    (void)added;  // a note that cannot be added is left out
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

std::optional<bool> convert_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!is_numpy_bool_type(type)) return not_convertible_to_bool(obj);

  PyRef method = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    PyErr_Clear();
    PyRef type_text = PyRef::steal(PyObject_Str(type));
    if (!type_text) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 type_text.get());
    return std::nullopt;
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) return std::nullopt;
  if (result.get() == Py_True) return true;
  if (result.get() == Py_False) return false;
  return not_convertible_to_bool(result.get());
}

ParamNames::ParamNames(const Signature& sig) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    names_[i] = PyUnicode_InternFromString(sig.params[i].name.text);  // kept for the process
  }
}

std::size_t ParamNames::find(PyObject* key, std::size_t count) const {
  // Keyword names are nearly always interned strings: compare pointers first.
  for (std::size_t i = 0; i < count; ++i) {
    if (key == names_[i]) return i;
  }
  if (!PyUnicode_Check(key)) return count;
  for (std::size_t i = 0; i < count; ++i) {
    if (names_[i] != nullptr && PyUnicode_Compare(key, names_[i]) == 0) return i;
  }
  PyErr_Clear();  // a failed comparison is no match
  return count;
}

bool BoundArgs::start(const Signature& sig, const ParamNames& names, Py_ssize_t n_positional) {
  release();
  sig_ = &sig;
  names_ = &names;
  if (n_positional < 0) return false;
  const std::size_t n_params = sig.positional;
  if (static_cast<std::size_t>(n_positional) <= n_params) return true;
  const char* verb = n_positional == 1 ? "was" : "were";
  if (sig.required() == n_params) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 sig.name.text, n_params, n_positional, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.name.text,
                 sig.required(), n_params, n_positional, verb);
  }
  return false;
}

bool BoundArgs::keyword(PyObject* key, PyObject* value) {
  const std::size_t index = names_->find(key, sig_->count);
  if (index == sig_->count) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig_->name.text,
                 key);
    return false;
  }
  if (slots_[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig_->name.text,
                 key);
    return false;
  }
  hold(index, value);
  return true;
}

bool BoundArgs::finish() const {
  // The interpreter's order: the positional parameters first, then the
  // keyword-only ones.
  const std::size_t ends[] = {sig_->positional, sig_->count};
  for (int part = 0; part < 2; ++part) {
    std::size_t missing = 0;
    const std::string names =
        quoted_list(*sig_, slots_, part == 0 ? 0 : ends[0], ends[part], missing);
    if (missing == 0) continue;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s %s: %s", sig_->name.text, missing,
                 part == 0 ? "positional" : "keyword-only",
                 missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

bool BoundArgs::bind(const Signature& sig, const ParamNames& names, PyObject* args,
                     PyObject* kwargs) {
  const Py_ssize_t n = PyTuple_Size(args);
  if (!start(sig, names, n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) hold(static_cast<std::size_t>(i), PyTuple_GetItem(args, i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!keyword(key, value)) return false;
    }
  }
  return finish();
}

bool BoundArgs::bind_slowly(const Signature& sig, const ParamNames& names, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  if (!start(sig, names, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) hold(static_cast<std::size_t>(i), args[i]);
  if (kwnames != nullptr) {
    const Py_ssize_t n_keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
      if (!keyword(PyTuple_GetItem(kwnames, k), args[nargs + k])) return false;
    }
  }
  return finish();
}

std::optional<bool> BoundArgs::to_bool_slowly(std::size_t i, bool fallback) const {
  if (slots_[i] == nullptr) return fallback;
  std::optional<bool> v = convert_bool(slots_[i]);
  if (!v) name_the_parameter(i);
  return v;
}

void BoundArgs::note_the_argument(std::size_t i, const char* accepted) const {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return;
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);  // describing an object may run its code
  const std::string got = slots_[i] != nullptr ? describe(slots_[i]) : std::string("nothing");
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  const std::string where =
      i < sig_->positional ? "position " + std::to_string(i + 1) : std::string("keyword-only");
  const std::string text = std::string("argument '") + sig_->params[i].name.text + "' (" + where +
                           "): got " + got + "; " + accepted;
  add_note(text.c_str());
}

void BoundArgs::name_the_parameter(std::size_t i) const {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef traceback_ref = PyRef::steal(traceback);

  PyRef message = PyRef::steal(PyObject_Str(value_ref.get()));
  if (!message) return;
  PyRef text = PyRef::steal(
      PyUnicode_FromFormat("argument '%s': %U", sig_->params[i].name.text, message.get()));
  if (!text) return;
  PyRef renamed = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(value_ref.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

}  // namespace tarvik::py
