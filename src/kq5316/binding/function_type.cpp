#include "kq5316/binding/function_type.hpp"

#include <structmember.h>

#include "kq5316/binding/argument_binder.hpp"
#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"

namespace kq5316::binding {

namespace {

// A method of the class. What introspection reads (`__name__`, `__qualname__`, `__doc__`,
// `__annotations__`, `__defaults__`, `__code__`, ...) is built from the method's row on first
// access and kept; assigning an attribute replaces it. A null slot means "not built yet"; once the
// collector has cleared the function, the builders give what a cleared Python function shows
// instead.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodRow *row;
    bool cleared;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *code;
    PyObject *globals;
    PyObject *dict;
    PyObject *weakrefs;
};

FunctionObject *as_function(PyObject *object) {
    return reinterpret_cast<FunctionObject *>(object);
}

using Builder = Owned (*)(const FunctionObject &);
Owned build_name(const FunctionObject &f);
Owned build_qualname(const FunctionObject &f);
Owned build_code(const FunctionObject &f);
Owned build_annotations(const FunctionObject &f);
Owned build_defaults(const FunctionObject &f);
Owned build_kwdefaults(const FunctionObject &f);
Owned build_doc(const FunctionObject &f);

// A new reference to the attribute in `slot`, built first if it is not there yet.
// Building may run Python code (a collection, say), so another thread may have filled the slot
// meanwhile: then that attribute stays and this one is dropped.
PyObject *built(PyObject *self, PyObject *FunctionObject::*slot, Builder build) {
    FunctionObject *f = as_function(self);
    if (!(f->*slot)) {
        Owned made = build(*f);
        if (!made)
            return nullptr;
        if (!(f->*slot))
            f->*slot = made.release();
    }
    return Py_NewRef(f->*slot);
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    // The names the methods use are made at the first call rather than at import.
    if (init_names() < 0)
        return nullptr;
    const MethodRow &row = *as_function(callable)->row;
    PyObject *bound[max_bound];
    if (bind_arguments(row, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0)
        return nullptr;
    return row.body(bound[0], bound + 1);
}

// Fetched from an instance the function binds to it; fetched from the class it is itself.
PyObject *function_descr_get(PyObject *function, PyObject *instance, PyObject *) {
    if (instance == nullptr || instance == Py_None)
        return Py_NewRef(function);
    return PyMethod_New(function, instance);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

// Drops what can take part in a reference cycle. As for Python functions, the code object stays,
// and the names become the empty string (a str subclass could hold a cycle), so that `__name__`,
// `__qualname__` and the repr keep working on an object the collector has cleared but that some
// finaliser can still reach; the other getters show None or an empty dict for what was dropped.
int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    f->cleared = true;
    Py_XSETREF(f->name, PyUnicode_New(0, 0));
    Py_XSETREF(f->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject *f = as_function(self);
    if (f->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    type->tp_free(self);
    Py_DECREF(type); // instances of heap types own a reference to their type
}

PyObject *function_repr(PyObject *self) {
    Owned qualname = Owned::steal(built(self, &FunctionObject::qualname, build_qualname));
    if (!qualname)
        return nullptr;
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// One attribute kept in a slot, and what a Python function's setter accepts for it: a value of
// `type` (any value when null), or None where `none_allowed`. Deleting it stores None where
// allowed, an empty dict for `__annotations__` (`deleted_is_empty_dict`), and is refused otherwise.
struct Attribute {
    PyObject *FunctionObject::*slot;
    Builder build;
    PyTypeObject *type;
    bool none_allowed;
    bool deleted_is_empty_dict;
    const char *refusal; // the TypeError for any other value
};

// Calls keep using the default fixed when the class was built; `__defaults__` is what
// introspection shows, so assigning it changes only what is shown.
// clang-format off
Attribute name_attribute{&FunctionObject::name, build_name, &PyUnicode_Type, false, false,
                         "__name__ must be set to a string object"};
Attribute qualname_attribute{&FunctionObject::qualname, build_qualname, &PyUnicode_Type, false,
                             false, "__qualname__ must be set to a string object"};
Attribute defaults_attribute{&FunctionObject::defaults, build_defaults, &PyTuple_Type, true, false,
                             "__defaults__ must be set to a tuple object"};
Attribute kwdefaults_attribute{&FunctionObject::kwdefaults, build_kwdefaults, &PyDict_Type, true,
                               false, "__kwdefaults__ must be set to a dict object"};
Attribute annotations_attribute{&FunctionObject::annotations, build_annotations, &PyDict_Type,
                                false, true, "__annotations__ must be set to a dict object"};
Attribute doc_attribute{&FunctionObject::doc, build_doc, nullptr, true, false, nullptr};
// clang-format on

Attribute &attribute(void *closure) {
    return *static_cast<Attribute *>(closure);
}

PyObject *get_attribute(PyObject *self, void *closure) {
    return built(self, attribute(closure).slot, attribute(closure).build);
}

bool acceptable(const Attribute &kept, PyObject *value) {
    return !kept.type || PyObject_TypeCheck(value, kept.type) ||
           (value == Py_None && kept.none_allowed);
}

int set_attribute(PyObject *self, PyObject *value, void *closure) {
    const Attribute &kept = attribute(closure);
    Owned stored;
    if (value && acceptable(kept, value))
        stored = Owned::borrow(value);
    else if (!value && kept.deleted_is_empty_dict)
        stored = Owned::steal(PyDict_New());
    else if (!value && kept.none_allowed)
        stored = Owned::borrow(Py_None);
    else
        PyErr_SetString(PyExc_TypeError, kept.refusal);
    if (!stored)
        return -1;
    Py_XSETREF(as_function(self)->*kept.slot, stored.release());
    return 0;
}

PyObject *get_closure(PyObject *, void *) {
    Py_RETURN_NONE;
}

// Read-only, with the message a read-only member gives.
int set_code(PyObject *, PyObject *, void *) {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

PyObject *get_code(PyObject *self, void *) {
    return built(self, &FunctionObject::code, build_code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_attribute, set_attribute, nullptr, &name_attribute},
    {"__qualname__", get_attribute, set_attribute, nullptr, &qualname_attribute},
    {"__defaults__", get_attribute, set_attribute, nullptr, &defaults_attribute},
    {"__kwdefaults__", get_attribute, set_attribute, nullptr, &kwdefaults_attribute},
    {"__annotations__", get_attribute, set_attribute, nullptr, &annotations_attribute},
    {"__doc__", get_attribute, set_attribute, nullptr, &doc_attribute},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    // Offsets a heap type learns from its members.
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The type is created with PyType_FromSpec (a heap type) once, when the class is first built, and
// kept for the life of the process like the class itself.
PyTypeObject *function_type = nullptr;

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "kq5316.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The code object's local names: self, then the parameters.
Owned parameter_names(const MethodRow &row) {
    Owned tuple = Owned::steal(PyTuple_New(row.parameter_count + 1));
    if (!tuple)
        return {};
    for (int i = 0; i <= row.parameter_count; ++i) {
        PyObject *name = PyUnicode_InternFromString(i == 0 ? "self" : row.parameters[i - 1].name);
        if (!name)
            return {};
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    return tuple;
}

Owned build_name(const FunctionObject &f) {
    return Owned::steal(PyUnicode_InternFromString(f.row->name));
}

Owned build_qualname(const FunctionObject &f) {
    return Owned::steal(PyUnicode_FromFormat("%s.%s", class_name, f.row->name));
}

// A code object whose signature matches the method: built from an empty code object with its
// argument fields replaced, so `inspect` sees real parameter names and counts. It keeps the
// qualified name the method had when the class was built, whatever `__qualname__` says by then.
Owned build_code(const FunctionObject &f) {
    const MethodRow &row = *f.row;
    Owned qualname = build_qualname(f);
    if (!qualname)
        return {};
    PyCodeObject *empty = PyCode_NewEmpty(module_name, row.name, 0);
    if (!empty)
        return {};
    Owned code = Owned::steal(reinterpret_cast<PyObject *>(empty));
    Owned varnames = parameter_names(row);
    if (!varnames)
        return {};
    Owned replace = Owned::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace)
        return {};
    Owned kwargs = Owned::steal(Py_BuildValue(
        "{s:i,s:i,s:i,s:i,s:O,s:O}", "co_argcount", row.parameter_count + 1, "co_nlocals",
        row.parameter_count + 1, "co_posonlyargcount", 0, "co_kwonlyargcount", 0, "co_varnames",
        varnames.get(), "co_qualname", qualname.get()));
    if (!kwargs)
        return {};
    Owned no_args = Owned::steal(PyTuple_New(0));
    if (!no_args)
        return {};
    return Owned::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

// A cleared function gets a new empty dict, as a Python function without annotations does.
Owned build_annotations(const FunctionObject &f) {
    const MethodRow &row = *f.row;
    Owned annotations = Owned::steal(PyDict_New());
    if (!annotations || f.cleared)
        return annotations;
    for (int i = 0; i < row.parameter_count; ++i) {
        const Parameter &parameter = row.parameters[i];
        Owned value = Owned::steal(PyUnicode_FromString(python_type_of(parameter.type)->tp_name));
        if (!value || PyDict_SetItemString(annotations.get(), parameter.name, value.get()) < 0)
            return {};
    }
    if (row.return_annotation) {
        Owned value = Owned::steal(PyUnicode_FromString(row.return_annotation));
        if (!value || PyDict_SetItemString(annotations.get(), "return", value.get()) < 0)
            return {};
    }
    return annotations;
}

Owned build_defaults(const FunctionObject &f) {
    if (!f.row->has_channel_default || f.cleared)
        return Owned::borrow(Py_None);
    return Owned::steal(Py_BuildValue("(i)", 1));
}

Owned build_kwdefaults(const FunctionObject &) {
    return Owned::borrow(Py_None);
}

Owned build_doc(const FunctionObject &f) {
    if (!f.row->doc || f.cleared)
        return Owned::borrow(Py_None);
    return Owned::steal(PyUnicode_FromString(f.row->doc));
}

} // namespace

int ready_function_type() {
    if (function_type)
        return 0;
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return function_type ? 0 : -1;
}

PyObject *new_function(const MethodRow &row, PyObject *module_name, PyObject *module_dict) {
    FunctionObject *f = PyObject_GC_New(FunctionObject, function_type);
    if (!f)
        return nullptr;
    f->vectorcall = function_vectorcall;
    f->row = &row;
    f->cleared = false;
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = Py_NewRef(module_name);
    f->doc = nullptr;
    f->annotations = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->code = nullptr;
    f->globals = Py_NewRef(module_dict);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject *>(f);
}

} // namespace kq5316::binding
