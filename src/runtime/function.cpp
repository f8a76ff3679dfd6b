// Native functions that behave like Python functions: binding with defaults,
// *args and **kwargs, the descriptor protocol, introspection attributes and a
// signature that inspect understands.
#include "runtime.hpp"

#include <structmember.h>

#include <cstddef>
#include <memory>

namespace rt {
namespace {

struct Parameter {
    py::str name;
    Kind kind;
    bool text;
};

struct Signature {
    std::vector<Parameter> params;  // positional-or-keyword ones first, then *args, **kwargs
    size_t positional = 0;
    bool var_args = false;
    bool var_kwargs = false;
    Body body = nullptr;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or nullptr
    PyObject* annotations;  // dict
    PyObject* globals;      // the defining module's namespace
    PyObject* owner;        // the class it was defined in, or nullptr
    PyObject* dict;
    PyObject* weakrefs;
    Signature* signature;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

const char* utf8(PyObject* text) {
    const char* s = PyUnicode_AsUTF8(text);
    if (!s) throw py::error_already_set();
    return s;
}

size_t default_count(const FunctionObject* f) {
    return f->defaults ? static_cast<size_t>(PyTuple_GET_SIZE(f->defaults)) : 0;
}

// "f() takes exactly 1 positional argument (0 given)", in the wording of
// compiled Python modules.
[[noreturn]] void raise_count(const FunctionObject* f, Py_ssize_t given) {
    const Signature& sig = *f->signature;
    auto most = static_cast<Py_ssize_t>(sig.positional);
    auto least = most - static_cast<Py_ssize_t>(default_count(f));
    bool exact = least == most && !sig.var_args;
    Py_ssize_t expected = given < least ? least : most;
    const char* how = exact ? "exactly" : (given < least ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", utf8(f->name), how,
                 expected, expected == 1 ? "" : "s", given);
    throw py::error_already_set();
}

[[noreturn]] void raise_keyword(const FunctionObject* f, const char* format, PyObject* key) {
    PyErr_Format(PyExc_TypeError, format, utf8(f->name), key);
    throw py::error_already_set();
}

Py_ssize_t find_parameter(const Signature& sig, PyObject* key) {
    for (size_t i = 0; i < sig.positional; ++i)
        if (sig.params[i].name.ptr() == key) return static_cast<Py_ssize_t>(i);
    for (size_t i = 0; i < sig.positional; ++i) {
        int equal = PyObject_RichCompareBool(sig.params[i].name.ptr(), key, Py_EQ);
        if (equal < 0) throw py::error_already_set();
        if (equal) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

void bind(const FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Args& bound) {
    const Signature& sig = *f->signature;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto positional = static_cast<Py_ssize_t>(sig.positional);
    if (nargs > positional && !sig.var_args) raise_count(f, nargs);

    for (Py_ssize_t i = 0; i < nargs && i < positional; ++i) bound.value(i) = py::reinterpret_borrow<py::object>(args[i]);
    py::tuple extra(nargs > positional ? nargs - positional : 0);
    for (Py_ssize_t i = positional; i < nargs; ++i)
        PyTuple_SET_ITEM(extra.ptr(), i - positional, py::reinterpret_borrow<py::object>(args[i]).release().ptr());
    bound.set_varargs(std::move(extra));

    py::dict kwargs = py::reinterpret_steal<py::dict>(py::handle());  // made for the first extra keyword
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", utf8(f->name));
            throw py::error_already_set();
        }
        Py_ssize_t index = find_parameter(sig, key);
        if (index >= 0) {
            if (bound[index]) raise_keyword(f, "%s() got multiple values for keyword argument '%U'", key);
            bound.value(index) = py::reinterpret_borrow<py::object>(value);
        } else if (sig.var_kwargs) {
            if (!kwargs) kwargs = py::dict();
            kwargs[key] = py::reinterpret_borrow<py::object>(value);
        } else {
            raise_keyword(f, "%s() got an unexpected keyword argument '%U'", key);
        }
    }
    if (kwargs) bound.set_kwargs(std::move(kwargs));

    size_t first_default = sig.positional - default_count(f);
    for (size_t i = 0; i < sig.positional; ++i) {
        if (bound[i]) continue;
        if (i < first_default) raise_count(f, static_cast<Py_ssize_t>(i));
        bound.value(i) = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default));
    }
    for (size_t i = 0; i < sig.positional; ++i)  // the name is read only for the error
        if (sig.params[i].text && !is_text(bound[i])) require_text(bound[i], utf8(sig.params[i].name.ptr()));
}

// Counted by the interpreter's recursion check like any Python call, so runaway
// recursion through native code is a RecursionError rather than a stack overflow.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (enter_recursive_call()) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        Args bound(f->globals, f->owner);
        bind(f, args, nargsf, kwnames, bound);
        py::object value = f->signature->body(bound);
        if (!value) return py::none().release().ptr();
        return value.release().ptr();
    });
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->owner);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->signature;
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }

// inspect.Signature built from the parameters, defaults and annotations.
PyObject* get_signature(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object empty = parameter.attr("empty");
        auto annotations = py::reinterpret_borrow<py::dict>(f->annotations);
        auto annotation_of = [&](py::handle name) -> py::object {
            return annotations.contains(name) ? py::object(annotations[name]) : empty;
        };
        size_t first_default = f->signature->positional - default_count(f);
        py::list params;
        size_t i = 0;
        for (const Parameter& p : f->signature->params) {
            py::object kind = p.kind == Kind::Positional ? parameter.attr("POSITIONAL_OR_KEYWORD")
                              : p.kind == Kind::VarArgs  ? parameter.attr("VAR_POSITIONAL")
                                                         : parameter.attr("VAR_KEYWORD");
            py::object default_value = empty;
            if (p.kind == Kind::Positional && i >= first_default)
                default_value = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - first_default));
            params.append(parameter(p.name, kind, py::arg("default") = default_value,
                                    py::arg("annotation") = annotation_of(p.name)));
            ++i;
        }
        py::object signature = inspect.attr("Signature")(params, py::arg("return_annotation") = annotation_of(py::str("return")));
        return signature.release().ptr();
    });
}

// Pickled by reference, like a Python function.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef function_methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr}};

PyType_Spec function_spec = {
    "vela_runtime.native_function", sizeof(FunctionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots};

PyTypeObject* function_type() {
    static PyTypeObject* type = nullptr;
    return detail::module_type(type, function_spec);
}

py::tuple defaults_of(const FunctionSpec& definition) {
    py::list defaults;
    bool seen_default = false;
    for (const Param& p : definition.params) {
        if (p.kind != Kind::Positional) continue;
        if (p.default_value) {
            if (p.text) require_text(p.default_value, p.name.c_str());
            defaults.append(p.default_value);
            seen_default = true;
        } else if (seen_default) {
            throw py::value_error("non-default argument follows default argument");
        }
    }
    return py::tuple(defaults);
}

py::dict annotations_of(const FunctionSpec& definition) {
    py::dict annotations;
    for (const Param& p : definition.params)
        if (p.annotation) annotations[py::str(p.name)] = p.annotation;
    if (definition.returns) annotations["return"] = definition.returns;
    return annotations;
}

std::unique_ptr<Signature> signature_of(const FunctionSpec& definition) {
    auto sig = std::make_unique<Signature>();
    for (const Param& p : definition.params) {
        py::str name(p.name);
        PyUnicode_InternInPlace(&name.ptr());
        sig->params.push_back({name, p.kind, p.text});
        if (p.kind == Kind::Positional) ++sig->positional;
        if (sig->positional > Args::most_values) throw py::value_error("more positional parameters than Args holds");
        sig->var_args |= p.kind == Kind::VarArgs;
        sig->var_kwargs |= p.kind == Kind::VarKwargs;
    }
    sig->body = definition.body;
    return sig;
}

}  // namespace

py::object make_function(const FunctionSpec& definition, py::handle globals, const std::string& qualname) {
    py::tuple defaults = defaults_of(definition);
    py::dict annotations = annotations_of(definition);
    std::unique_ptr<Signature> sig = signature_of(definition);
    py::object module = py::reinterpret_borrow<py::dict>(globals).contains("__name__")
                            ? py::object(py::reinterpret_borrow<py::dict>(globals)["__name__"])
                            : py::none();

    PyObject* raw = PyType_GenericAlloc(function_type(), 0);
    if (!raw) throw py::error_already_set();
    auto function = py::reinterpret_steal<py::object>(raw);
    FunctionObject* f = as_function(raw);
    f->vectorcall = function_vectorcall;
    f->name = py::str(definition.name).release().ptr();
    f->qualname = py::str(qualname).release().ptr();
    f->module = module.release().ptr();
    f->doc = definition.doc ? py::str(definition.doc).release().ptr() : py::none().release().ptr();
    f->defaults = PyTuple_GET_SIZE(defaults.ptr()) ? defaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->globals = py::reinterpret_borrow<py::object>(globals).release().ptr();
    f->signature = sig.release();
    return function;
}

void detail::set_owner(py::handle function, py::handle owner) {
    if (Py_TYPE(function.ptr()) != function_type()) return;
    FunctionObject* f = as_function(function.ptr());
    Py_XSETREF(f->owner, py::reinterpret_borrow<py::object>(owner).release().ptr());
}

}  // namespace rt
