// The layer that makes native functions and classes behave like Python ones.
//
// A module file declares its functions as FunctionSpecs (parameters with
// defaults fixed at load, annotations, a docstring) and its classes with
// ClassBuilder, which calls the real metaclass. Bodies receive the bound
// arguments and read module-level names at call time through Args::global.
#pragma once

#include <pybind11/detail/common.h>  // Python.h, included as pybind11 includes it

namespace rt {
// The thread state the interpreter runs now (null while no thread holds the GIL on 3.12+, where it is
// per thread). Public as PyThreadState_GetUnchecked from 3.13; exported under its older name before.
inline PyThreadState* running_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Whether this thread holds the GIL: its own thread state is the one running. False while the
// interpreter ends this thread by a forced unwind (a daemon thread retaking the GIL at exit): its
// destructors then run without the GIL and must not call into Python. PyGILState_Check cannot tell:
// once finalization has deleted the GIL-state key it answers 1 for every thread.
inline bool holds_gil() {
    PyThreadState* own = PyGILState_GetThisThreadState();
    return own != nullptr && own == running_thread_state();
}

namespace detail {
// A handle's release. A native frame of a thread that the interpreter ends keeps its references, as
// the interpreter's own frames do, rather than free objects (a generator the thread was running,
// say) without the GIL.
template <class Object>
inline void release_reference(Object* object) {
    if (object && holds_gil()) Py_DECREF(reinterpret_cast<PyObject*>(object));
}
}  // namespace detail
}  // namespace rt

// pybind11's handles release through Py_XDECREF.
#undef Py_XDECREF
#define Py_XDECREF(object) ::rt::detail::release_reference(object)

#include <pybind11/pybind11.h>

#include <array>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

namespace py = pybind11;

namespace rt {

enum class Kind { Positional, VarArgs, VarKwargs };

struct Param {
    std::string name;
    py::object default_value;  // empty: the argument is required
    py::object annotation;     // empty: not annotated
    bool text = false;         // the value must be exactly str or None
    Kind kind = Kind::Positional;

    // A parameter typed as text: annotated `str`, tested before the body runs.
    Param as_text() const;
    Param annotated(py::object a) const;
};

Param param(std::string name);
Param param(std::string name, py::object default_value);
Param var_args(std::string name = "args");
Param var_kwargs(std::string name = "kwargs");

class Args {
public:
    // A function has at most this many positional parameters (checked when it is made): their values
    // live in the call's own frame.
    static constexpr size_t most_values = 12;

    // Each value empty until bound.
    Args(py::handle globals, py::handle owner)
        : globals_(globals), owner_(py::reinterpret_borrow<py::object>(owner)) {}
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

    py::handle operator[](size_t i) const { return values_[i]; }
    py::object& value(size_t i) { return values_[i]; }
    const py::tuple& varargs() const { return varargs_; }
    void set_varargs(py::tuple varargs) { varargs_ = std::move(varargs); }
    const py::dict& kwargs() const {
        if (!kwargs_) kwargs_ = py::dict();  // most calls have no extra keywords: none is made for them
        return kwargs_;
    }
    void set_kwargs(py::dict kwargs) { kwargs_ = std::move(kwargs); }
    // A module-level name, looked up in the defining module now.
    py::object global(const char* name) const;
    // The class whose namespace the called function was placed in (what a
    // Python method's __class__ cell holds); empty for a module-level function.
    const py::object& owner() const { return owner_; }

private:
    std::array<py::object, most_values> values_;
    py::tuple varargs_ = py::reinterpret_steal<py::tuple>(py::handle());  // set by the binding
    mutable py::dict kwargs_ = py::reinterpret_steal<py::dict>(py::handle());
    py::handle globals_;
    py::object owner_;
};

using Body = py::object (*)(const Args&);

struct FunctionSpec {
    const char* name;
    std::vector<Param> params;
    Body body;
    const char* doc = nullptr;
    py::object returns;  // return annotation; empty: none
};

// A native function object, owned by the module whose globals it reads.
py::object make_function(const FunctionSpec& definition, py::handle globals, const std::string& qualname);

// Raise `type(message)` as Python's `raise` does; never returns.
[[noreturn]] void raise(py::handle type, const py::handle& message);
[[noreturn]] void raise(py::handle type, const char* message);
// `raise exception`: a class is instantiated, an instance raised, anything else
// is TypeError("exceptions must derive from BaseException"). `context` (if an
// exception) becomes its __context__, as when raising inside an except block.
[[noreturn]] void raise_instance(py::handle exception, py::handle context = py::handle());

// Exactly str, or None.
inline bool is_text(py::handle value) { return PyUnicode_CheckExact(value.ptr()) || value.is_none(); }
// "Argument 'x' has incorrect type (expected str, got int)" unless value is exactly str or None.
void require_text(py::handle value, const char* name);

// str(value), as the built-in computes it (an overridden __str__ is honoured).
py::object str(py::handle value);
// A value as it stands in a form body or URL: UTF-8, every byte but letters,
// digits, -._~ and the characters of also_safe percent-encoded.
py::str percent_encode(py::handle text, const char* also_safe = "/");

// str() of each part, concatenated.
py::str cat(std::initializer_list<py::handle> parts);

// self.name(*args, **keywords) by vectorcall: no bound method, argument tuple or keyword dict is made,
// so a call made on every training step stays small. At most 15 arguments and keywords together.
py::object call_method(py::handle self, const char* name, std::initializer_list<py::handle> args,
                       std::initializer_list<std::pair<const char*, py::handle>> keywords = {});

// getattr(object, name) by the name's interned string: the interpreter's type cache then finds the
// attribute without walking the class's bases or making a string, as obj.attr("name") does.
py::object attr(py::handle object, const char* name);

bool truthy(py::handle value);
// a <op> b, as Python compares (the result may be any object)
py::object compare(py::handle a, py::handle b, int op);
// a == b, tested for truth
bool equals(py::handle a, py::handle b);
// `item in container`
bool contains(py::handle container, py::handle item);
// A built-in by name: builtin("str"), builtin("property").
py::object builtin(const char* name);
bool is_instance(py::handle value, py::handle type);
// The name of the Python function that called the native one running (`depth` frames further
// out: 1 is its caller's caller), or None when there is none (a call from native code on a
// thread of its own, or a stack not that deep).
py::object caller_name(int depth = 0);

// super(owner, self), as a method defined in `owner` would see it.
py::object super(py::handle owner, py::handle self);
// super() in a method: through the class the method was defined in, never a
// module-level name (which callers may substitute).
py::object super(const Args& a, py::handle self);

// An iterator that calls step(state) for each item; an empty result ends it.
using Step = py::object (*)(py::handle state);
py::object make_iterator(py::object state, Step step);
// The same items from a real generator (types.GeneratorType), still lazy.
py::object make_generator(py::object state, Step step);

class Module {
public:
    explicit Module(PyObject* module);

    const std::string& name() const { return name_; }
    py::dict globals() const { return globals_; }
    py::object get(const char* name) const;
    void set(const char* name, py::handle value);

    // import a            (binds the top-level package, as Python does)
    void import(const char* module);
    // import a.b as name
    void import_as(const char* module, const char* as);
    // from a import x, y
    void import_from(const char* module, std::initializer_list<const char*> names);
    // from a import x as y
    void import_from_as(const char* module, const char* name, const char* as);
    // logger = logging.getLogger(__name__)
    void create_logger();

    py::object def(const FunctionSpec& definition);

private:
    py::module_ module_;
    py::dict globals_;
    std::string name_;
};

struct PropertySpec {
    const char* name;
    Body get;
    Body set = nullptr;
    const char* doc = nullptr;
    py::object returns;
    py::object type;  // empty: the built-in property
};

class ClassBuilder {
public:
    ClassBuilder(Module& module, const char* name, py::tuple bases = py::tuple(), const char* doc = nullptr);

    ClassBuilder& method(const FunctionSpec& definition);
    ClassBuilder& abstract_method(const FunctionSpec& definition);
    ClassBuilder& static_method(const FunctionSpec& definition);
    ClassBuilder& class_method(const FunctionSpec& definition);
    ClassBuilder& property(const PropertySpec& definition);
    ClassBuilder& value(const char* name, py::object value);

    // Calls the metaclass and binds the class in the module.
    py::object build();

private:
    py::object function(const FunctionSpec& definition);

    Module& module_;
    std::string name_;
    py::tuple bases_;
    py::dict namespace_;
    std::vector<py::object> functions_;  // told the built class, their owner
};

// While alive, the named logger (and the children that inherit its level) logs
// nothing below INFO; its own level is put back afterwards.
class QuietLogger {
public:
    explicit QuietLogger(const char* name);
    ~QuietLogger();
    QuietLogger(const QuietLogger&) = delete;
    QuietLogger& operator=(const QuietLogger&) = delete;

private:
    py::object logger_;
    py::object saved_level_;
};

namespace detail {
// A type of this extension module, made from its definition on first use and kept for the module's life.
PyTypeObject* module_type(PyTypeObject*& slot, PyType_Spec& definition);
// Records the class a native function was placed in.
void set_owner(py::handle function, py::handle owner);
}  // namespace detail

// function(*args, **kwargs) in a daemon thread, waited for at most `seconds`: true with its
// result (its error raised), false when the deadline passed first.
bool call_within(double seconds, py::handle function, py::tuple args, py::dict kwargs, py::object& result);

// Py_EnterRecursiveCall for a native call (paired with Py_LeaveRecursiveCall).
int enter_recursive_call();

// Run `f` and turn any C++ exception into the pending Python error.
//
// Native code catches std::exception, never everything: the interpreter ends a thread (a
// daemon thread at exit) with a forced unwind, which a catch-all would catch, and which
// not every C++ runtime can throw on again (LLVM's libc++abi, the wheels', starts a new
// search that finds no handler and terminates). Every exception this code throws is a
// std::exception; the forced unwind passes all typed handlers and runs destructors only.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace rt

// Defines vela_init_<name>, which the module's entry PyInit_<name> calls: creates the
// module and runs `define(rt::Module&)`.
#define VELA_MODULE(name)                                                              \
    static void define_##name(rt::Module&);                                            \
    static PyModuleDef module_def_##name = {PyModuleDef_HEAD_INIT, #name, nullptr, -1, \
                                            nullptr, nullptr, nullptr, nullptr, nullptr}; \
    extern "C" PYBIND11_EXPORT PyObject* vela_init_##name() {                          \
        PyObject* m = PyModule_Create(&module_def_##name);                             \
        if (!m) return nullptr;                                                        \
        PyObject* result = rt::guarded([&]() -> PyObject* {                            \
            rt::Module module(m);                                                      \
            define_##name(module);                                                     \
            return m;                                                                  \
        });                                                                            \
        if (!result) Py_DECREF(m);                                                     \
        return result;                                                                 \
    }                                                                                  \
    static void define_##name(rt::Module& module)
