// Modules, classes, errors and small helpers shared by every module file.
#include "runtime.hpp"

#include <pthread.h>

#include <array>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace rt {

Param Param::as_text() const {
    Param p = *this;
    p.text = true;
    p.annotation = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    return p;
}

Param Param::annotated(py::object a) const {
    Param p = *this;
    p.annotation = std::move(a);
    return p;
}

Param param(std::string name) { return Param{std::move(name)}; }

Param param(std::string name, py::object default_value) {
    Param p{std::move(name)};
    p.default_value = std::move(default_value);
    return p;
}

Param var_args(std::string name) {
    Param p{std::move(name)};
    p.kind = Kind::VarArgs;
    return p;
}

Param var_kwargs(std::string name) {
    Param p{std::move(name)};
    p.kind = Kind::VarKwargs;
    return p;
}

namespace {

// The interned string of a name the code spells as a literal, made once: a lookup by it then neither
// builds nor hashes a string. Found by the literal's address in one flat table, on a page or two that
// a call finds warm, and checked against its text (two literals of one text share the string). Used
// with the GIL held, and kept for the process's life, as the interpreter keeps interned names.
PyObject* interned_name(const char* name) {
    constexpr size_t slots = 1024;  // a power of two, above the names of every module together
    static std::array<PyObject*, slots> names{};
    static std::unordered_map<std::string, PyObject*> overflow;
    size_t start = reinterpret_cast<uintptr_t>(name) * 0x9E3779B97F4A7C15ull >> 54;
    for (size_t probe = 0; probe < 16; ++probe) {
        PyObject*& known = names[(start + probe) & (slots - 1)];
        if (known && std::strcmp(PyUnicode_AsUTF8(known), name) == 0) return known;
        if (known) continue;
        known = PyUnicode_InternFromString(name);
        if (!known) throw py::error_already_set();
        return known;
    }
    PyObject*& known = overflow[name];
    if (!known) known = PyUnicode_InternFromString(name);
    if (!known) throw py::error_already_set();
    return known;
}

}  // namespace

py::object Args::global(const char* name) const {
    PyObject* value = PyDict_GetItemWithError(globals_.ptr(), interned_name(name));
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

// What `raise value` raises: a class is called without arguments, an exception
// instance is raised as it is, anything else is a TypeError.
py::object exception_to_raise(py::handle value) {
    if (PyExceptionClass_Check(value.ptr())) {
        py::object instance = py::reinterpret_borrow<py::object>(value)();
        if (!PyExceptionInstance_Check(instance.ptr())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         value.ptr(), Py_TYPE(instance.ptr())->tp_name);
            throw py::error_already_set();
        }
        return instance;
    }
    if (PyExceptionInstance_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw py::error_already_set();
}

}  // namespace

void raise(py::handle type, const py::handle& message) { raise_instance(py::reinterpret_borrow<py::object>(type)(message)); }

void raise(py::handle type, const char* message) { raise(type, py::str(message)); }

namespace {

// As inside `except`: the exception being handled becomes the context.
void set_context(py::handle raised, py::handle context) {
    if (context && PyExceptionInstance_Check(context.ptr()) && !context.is(raised))
        PyException_SetContext(raised.ptr(), py::reinterpret_borrow<py::object>(context).release().ptr());
}

}  // namespace

void raise_instance(py::handle exception, py::handle context) {
    py::object instance;
    try {
        instance = exception_to_raise(exception);
    } catch (py::error_already_set& e) {
        set_context(e.value(), context);
        throw;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
    set_context(instance, context);
    throw py::error_already_set();
}

void require_text(py::handle value, const char* name) {
    if (is_text(value)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, "str",
                 Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

py::object str(py::handle value) {
    PyObject* result = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyUnicode_Type), value.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

namespace {
bool is_unreserved(unsigned char c, const char* also_safe) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || (c && std::strchr(also_safe, c));
}
}  // namespace

py::str percent_encode(py::handle text, const char* also_safe) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) throw py::error_already_set();
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(static_cast<size_t>(size) * 3);
    for (Py_ssize_t i = 0; i < size; ++i) {
        auto byte = static_cast<unsigned char>(utf8[i]);
        if (is_unreserved(byte, also_safe)) {
            encoded += static_cast<char>(byte);
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return py::str(encoded);
}

py::str cat(std::initializer_list<py::handle> parts) {
    py::list pieces;
    for (py::handle part : parts) pieces.append(py::str(part));
    return py::str("").attr("join")(pieces);
}

namespace {

bool spells(PyObject* tuple, const std::array<const char*, 4>& names) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
        if (std::strcmp(PyUnicode_AsUTF8(PyTuple_GET_ITEM(tuple, i)), names[i]) != 0) return false;
    return true;
}

py::tuple make_keyword_names(std::initializer_list<std::pair<const char*, py::handle>> keywords) {
    py::tuple made(keywords.size());
    size_t k = 0;
    for (auto& keyword : keywords) PyTuple_SET_ITEM(made.ptr(), k++, Py_NewRef(interned_name(keyword.first)));
    return made;
}

// The tuple of keyword names of a call site, made on its first call and kept, as the interpreter keeps
// those of a compiled call. Keyed by the names' addresses, which are literals. A new reference.
PyObject* keyword_names(std::initializer_list<std::pair<const char*, py::handle>> keywords) {
    struct Known {
        std::array<const char*, 4> names;
        PyObject* tuple;
    };
    static std::vector<Known> known;
    std::array<const char*, 4> names{};
    if (keywords.size() > names.size()) return make_keyword_names(keywords).release().ptr();
    size_t k = 0;
    for (auto& keyword : keywords) names[k++] = keyword.first;
    for (const Known& entry : known)
        if (entry.names == names && spells(entry.tuple, names)) return Py_NewRef(entry.tuple);
    py::tuple made = make_keyword_names(keywords);
    known.push_back({names, Py_NewRef(made.ptr())});
    return made.release().ptr();
}

}  // namespace

py::object attr(py::handle object, const char* name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), interned_name(name));
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

py::object call_method(py::handle self, const char* name, std::initializer_list<py::handle> args,
                       std::initializer_list<std::pair<const char*, py::handle>> keywords) {
    std::array<PyObject*, 16> stack{};
    if (1 + args.size() + keywords.size() > stack.size()) throw std::length_error("too many arguments");
    size_t n = 0;
    stack[n++] = self.ptr();
    for (py::handle arg : args) stack[n++] = arg.ptr();
    for (auto& keyword : keywords) stack[n++] = keyword.second.ptr();
    py::object names = keywords.size() ? py::reinterpret_steal<py::object>(keyword_names(keywords)) : py::object();
    PyObject* result = PyObject_VectorcallMethod(interned_name(name), stack.data(), 1 + args.size(), names.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object compare(py::handle a, py::handle b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

bool equals(py::handle a, py::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool contains(py::handle container, py::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object caller_name(int depth) {
    PyFrameObject* innermost = PyEval_GetFrame();  // borrowed: the innermost Python frame of this thread
    py::object frame = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(innermost));
    for (; frame && depth > 0; --depth)
        frame = py::reinterpret_steal<py::object>(
            reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.ptr()))));
    if (!frame) return py::none();
    auto* code = PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame.ptr()));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(code)).attr("co_name");
}

py::object builtin(const char* name) {
    PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool is_instance(py::handle value, py::handle type) {
    int result = PyObject_IsInstance(value.ptr(), type.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object super(py::handle owner, py::handle self) {
    return builtin("super")(owner, self);
}

py::object super(const Args& a, py::handle self) {
    if (!a.owner()) rt::raise(PyExc_RuntimeError, "super(): __class__ cell not found");
    return super(a.owner(), self);
}

QuietLogger::QuietLogger(const char* name)
    : logger_(py::module_::import("logging").attr("getLogger")(name)), saved_level_(logger_.attr("level")) {
    py::object info = py::module_::import("logging").attr("INFO");
    if (logger_.attr("getEffectiveLevel")().cast<int>() < info.cast<int>()) logger_.attr("setLevel")(info);
}

QuietLogger::~QuietLogger() {
    if (!holds_gil()) return;
    try {
        logger_.attr("setLevel")(saved_level_);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("restoring a logger's level");
    }
}

namespace {
// The stack a native call leaves for what runs below it (the interpreter between two native calls,
// pybind11's error handling), at most a quarter of a small thread's stack.
constexpr uintptr_t stack_reserve = 256 * 1024;

// The lowest address a native call may start at on this thread; 0 when the stack is unknown.
uintptr_t stack_floor() {
    thread_local uintptr_t floor = 1;
    if (floor == 1) {
        floor = 0;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* lowest = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &lowest, &size) == 0 && lowest)
                floor = reinterpret_cast<uintptr_t>(lowest) + std::min<uintptr_t>(stack_reserve, size / 4);
            pthread_attr_destroy(&attributes);
        }
    }
    return floor;
}

// Native calls nested through Python code take C stack at every level. The interpreter's own bound
// does not keep them inside it everywhere (3.13 allows 10,000 C levels, which nested native calls
// overflow at 3,000 to 5,000 on an 8 MiB stack), so the package keeps its own by the stack left.
bool stack_nearly_full() {
    char here;
    return reinterpret_cast<uintptr_t>(&here) < stack_floor();
}
}  // namespace

int enter_recursive_call() {
    if (stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return -1;
    }
#if PY_VERSION_HEX < 0x030C0000
    // Before Python 3.12, pybind11 normalizes every error it takes up by calling
    // the exception's type; at the recursion limit that call fails in turn and
    // pybind11 recurses without end. Native calls stop short of the limit, so
    // the bodies below them always have this headroom. The depth is read from
    // the thread state's fields: these versions have no public call for it.
    constexpr int headroom = 50;
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX < 0x030B0000
    bool near_limit = thread->recursion_depth + headroom > Py_GetRecursionLimit();
#else
    bool near_limit = thread->recursion_remaining < headroom;
#endif
    if (near_limit) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return -1;
    }
#endif
    return Py_EnterRecursiveCall(" while calling a Python object");
}

PyTypeObject* detail::module_type(PyTypeObject*& slot, PyType_Spec& definition) {
    if (!slot) {
        slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
        if (!slot) throw py::error_already_set();
    }
    return slot;
}

// ---- iterators -------------------------------------------------------------

namespace {

struct IteratorObject {
    PyObject_HEAD
    PyObject* state;  // nullptr once exhausted
    Step step;
};

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

PyObject* iterator_next(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    if (!it->state) return nullptr;
    if (enter_recursive_call()) return nullptr;
    PyObject* item = guarded([&]() -> PyObject* {
        auto state = py::reinterpret_borrow<py::object>(it->state);  // kept should the step end this iterator
        py::object value = it->step(state);
        return value ? value.release().ptr() : nullptr;
    });
    Py_LeaveRecursiveCall();
    if (!item) Py_CLEAR(it->state);  // exhausted, or failed: either way finished
    return item;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iterator(self)->state);
    return 0;
}

int iterator_clear(PyObject* self) {
    Py_CLEAR(as_iterator(self)->state);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    iterator_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
                                {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
                                {0, nullptr}};

PyType_Spec iterator_spec = {"vela_runtime.native_iterator", sizeof(IteratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                             iterator_slots};

PyTypeObject* iterator_type() {
    static PyTypeObject* type = nullptr;
    return detail::module_type(type, iterator_spec);
}

}  // namespace

py::object make_iterator(py::object state, Step step) {
    PyObject* raw = PyType_GenericAlloc(iterator_type(), 0);
    if (!raw) throw py::error_already_set();
    as_iterator(raw)->state = state.release().ptr();
    as_iterator(raw)->step = step;
    return py::reinterpret_steal<py::object>(raw);
}

namespace {

// A native object cannot be a generator, so a generator function compiled once
// drives the native iterator. Kept for the module's life, like its types.
PyObject* generator_function() {
    static PyObject* function = nullptr;
    if (!function) {
        py::dict scope;
        scope["__builtins__"] = py::reinterpret_borrow<py::object>(PyEval_GetBuiltins());
        PyObject* ran = PyRun_String("def generator(items):\n    yield from items\n", Py_file_input, scope.ptr(),
                                     scope.ptr());
        if (!ran) throw py::error_already_set();
        Py_DECREF(ran);
        function = py::object(scope["generator"]).release().ptr();
    }
    return function;
}

}  // namespace

py::object make_generator(py::object state, Step step) {
    return py::reinterpret_borrow<py::object>(generator_function())(make_iterator(std::move(state), step));
}

// ---- modules ---------------------------------------------------------------

Module::Module(PyObject* module)
    : module_(py::reinterpret_borrow<py::module_>(module)),
      globals_(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module))),
      name_(py::str(module_.attr("__name__"))) {}

py::object Module::get(const char* name) const {
    if (!globals_.contains(name)) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return globals_[name];
}

void Module::set(const char* name, py::handle value) { globals_[name] = value; }

void Module::import(const char* module) {
    py::module_::import(module);
    std::string top(module);
    top = top.substr(0, top.find('.'));
    set(top.c_str(), py::module_::import(top.c_str()));
}

void Module::import_as(const char* module, const char* as) {
    py::object imported = py::module_::import(module);
    set(as, imported);
}

void Module::import_from(const char* module, std::initializer_list<const char*> names) {
    for (const char* name : names) import_from_as(module, name, name);
}

void Module::import_from_as(const char* module, const char* name, const char* as) {
    // Import through the import system with a fromlist, so a submodule is loaded too.
    py::tuple fromlist = py::make_tuple(py::str(name));
    PyObject* raw = PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr, fromlist.ptr(), 0);
    if (!raw) throw py::error_already_set();
    auto imported = py::reinterpret_steal<py::object>(raw);
    if (!py::hasattr(imported, name)) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        throw py::error_already_set();
    }
    set(as, imported.attr(name));
}

void Module::create_logger() {
    set("logger", get("logging").attr("getLogger")(py::str(name_)));
}

py::object Module::def(const FunctionSpec& definition) {
    py::object function = make_function(definition, globals_, definition.name);
    set(definition.name, function);
    return function;
}

// ---- classes ---------------------------------------------------------------

ClassBuilder::ClassBuilder(Module& module, const char* name, py::tuple bases, const char* doc)
    : module_(module), name_(name), bases_(std::move(bases)) {
    namespace_["__module__"] = py::str(module.name());
    namespace_["__qualname__"] = py::str(name_);
    if (doc) namespace_["__doc__"] = py::str(doc);
}

py::object ClassBuilder::function(const FunctionSpec& definition) {
    py::object made = make_function(definition, module_.globals(), name_ + "." + definition.name);
    functions_.push_back(made);
    return made;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& definition) {
    namespace_[definition.name] = function(definition);
    return *this;
}

ClassBuilder& ClassBuilder::abstract_method(const FunctionSpec& definition) {
    namespace_[definition.name] = py::module_::import("abc").attr("abstractmethod")(function(definition));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const FunctionSpec& definition) {
    namespace_[definition.name] = builtin("staticmethod")(function(definition));
    return *this;
}

ClassBuilder& ClassBuilder::class_method(const FunctionSpec& definition) {
    namespace_[definition.name] = builtin("classmethod")(function(definition));
    return *this;
}

ClassBuilder& ClassBuilder::property(const PropertySpec& definition) {
    py::object getter = function({definition.name, {param("self")}, definition.get, definition.doc, definition.returns});
    py::object setter = definition.set ? function({definition.name, {param("self"), param("value")}, definition.set}) : py::none();
    py::object type = definition.type ? definition.type : builtin("property");
    namespace_[definition.name] = type(getter, setter);
    return *this;
}

ClassBuilder& ClassBuilder::value(const char* name, py::object value) {
    namespace_[name] = std::move(value);
    return *this;
}

py::object ClassBuilder::build() {
    // The most derived metaclass of the bases, as a class statement chooses it.
    py::object metaclass = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    for (py::handle base : bases_) {
        py::object candidate = py::type::of(base);
        if (PyObject_IsSubclass(candidate.ptr(), metaclass.ptr()) == 1) metaclass = candidate;
    }
    py::object cls = metaclass(py::str(name_), bases_, namespace_);
    for (const py::object& function : functions_) detail::set_owner(function, cls);
    module_.set(name_.c_str(), cls);
    return cls;
}

}  // namespace rt
