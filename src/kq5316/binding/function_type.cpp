#include "kq5316/binding/methods.hpp"

#include <structmember.h>

#include "kq5316/common/owned.hpp"
#include "kq5316/common/process_globals.hpp"

namespace kq5316::binding {

namespace {

// A method of the class. Its attributes are made from its row when the class is built, its code
// object when first read. As on a Python function, an empty slot reads as None
// (`__annotations__` as a new empty dict): what an attribute deleted or set to None, or dropped
// by the collector, shows.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodRow *row;
    PyObject *name;
    PyObject *qualname;
    PyObject *code;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *globals;
    PyObject *dict;
    PyObject *weakrefs;
};

// What may take part in a reference cycle, and so what the collector clears. As for Python
// functions, the code object and the names stay.
constexpr PyObject *FunctionObject::*clearable[] = {
    &FunctionObject::module,   &FunctionObject::doc,        &FunctionObject::annotations,
    &FunctionObject::defaults, &FunctionObject::kwdefaults, &FunctionObject::globals,
    &FunctionObject::dict,
};

FunctionObject *as_function(PyObject *object) {
    return reinterpret_cast<FunctionObject *>(object);
}

// A code object whose signature matches the method: built from an empty code object with its
// argument fields replaced, so `inspect` sees real parameter names and counts. It keeps the
// qualified name the method had when the class was built.
Owned make_code(const MethodRow &row) {
    const int locals = row.parameter_count + 1;
    Owned varnames = Owned::steal(PyTuple_New(locals));
    Owned qualname = Owned::steal(PyUnicode_FromFormat("%s.%s", class_name, row.name));
    if (!varnames || !qualname)
        return {};
    for (int i = 0; i < locals; ++i) {
        PyObject *name = PyUnicode_InternFromString(parameter_name(row, i));
        if (!name)
            return {};
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Owned code =
        Owned::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(module_name, row.name, 0)));
    Owned replace = code ? Owned::steal(PyObject_GetAttrString(code.get(), "replace")) : Owned();
    Owned kwargs =
        Owned::steal(Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:O}", "co_argcount", locals, "co_nlocals",
                                   locals, "co_posonlyargcount", 0, "co_kwonlyargcount", 0,
                                   "co_varnames", varnames.get(), "co_qualname", qualname.get()));
    if (!replace || !kwargs)
        return {};
    return Owned::steal(PyObject_VectorcallDict(replace.get(), nullptr, 0, kwargs.get()));
}

int add_text(PyObject *dict, const char *key, const char *text) {
    Owned value = Owned::steal(PyUnicode_FromString(text));
    return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

// The parameters' type names, then the return annotation, all as strings.
Owned make_annotations(const MethodRow &row) {
    Owned annotations = Owned::steal(PyDict_New());
    for (int i = 0; annotations && i < row.parameter_count; ++i) {
        const Parameter &parameter = row.parameters[i];
        if (add_text(annotations.get(), parameter.name, parameter.type->tp_name) < 0)
            return {};
    }
    if (annotations && row.return_annotation &&
        add_text(annotations.get(), "return", row.return_annotation) < 0)
        return {};
    return annotations;
}

// 0 when every attribute of `f` is made, -1 with an exception set otherwise.
int fill(FunctionObject *f, const MethodRow &row) {
    f->name = PyUnicode_InternFromString(row.name);
    f->qualname = PyUnicode_FromFormat("%s.%s", class_name, row.name);
    if (!f->name || !f->qualname)
        return -1;
    f->annotations = make_annotations(row).release();
    if (!f->annotations)
        return -1;
    if (row.doc && !(f->doc = PyUnicode_FromString(row.doc)))
        return -1;
    if (row.has_channel_default && !(f->defaults = Py_BuildValue("(i)", 1)))
        return -1;
    return 0;
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
    return instance && instance != Py_None ? PyMethod_New(function, instance) : Py_NewRef(function);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->code);
    for (PyObject *FunctionObject::*slot : clearable)
        Py_VISIT(f->*slot);
    return 0;
}

// The names become the empty string rather than null (a str subclass could hold a cycle), so that
// `__name__`, `__qualname__` and the repr keep working on an object the collector has cleared but
// that some finaliser can still reach.
int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    for (PyObject *FunctionObject::*slot : clearable)
        Py_CLEAR(f->*slot);
    Py_XSETREF(f->name, PyUnicode_New(0, 0));
    Py_XSETREF(f->qualname, PyUnicode_New(0, 0));
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
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// An attribute with a type-checked setter, as a Python function's: a value of `type`, or, where
// `nullable`, None or deletion, which empty the slot. The TypeError says `refusal` otherwise.
struct Attribute {
    PyObject *FunctionObject::*slot;
    PyTypeObject *type;
    bool nullable;
    const char *refusal;
};

// Calls keep using the default fixed when the class was built; `__defaults__` is what
// introspection shows, so assigning it changes only what is shown.
// clang-format off
Attribute name_attribute{&FunctionObject::name, &PyUnicode_Type, false,
                         "__name__ must be set to a string object"};
Attribute qualname_attribute{&FunctionObject::qualname, &PyUnicode_Type, false,
                             "__qualname__ must be set to a string object"};
Attribute defaults_attribute{&FunctionObject::defaults, &PyTuple_Type, true,
                             "__defaults__ must be set to a tuple object"};
Attribute kwdefaults_attribute{&FunctionObject::kwdefaults, &PyDict_Type, true,
                               "__kwdefaults__ must be set to a dict object"};
Attribute annotations_attribute{&FunctionObject::annotations, &PyDict_Type, true,
                                "__annotations__ must be set to a dict object"};
// clang-format on

PyObject *get_attribute(PyObject *self, void *closure) {
    PyObject *value = as_function(self)->*static_cast<Attribute *>(closure)->slot;
    return Py_NewRef(value ? value : Py_None);
}

PyObject *get_annotations(PyObject *self, void *closure) {
    FunctionObject *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New()))
        return nullptr;
    return get_attribute(self, closure);
}

int set_attribute(PyObject *self, PyObject *value, void *closure) {
    const Attribute &kept = *static_cast<Attribute *>(closure);
    if (value == Py_None && kept.nullable)
        value = nullptr;
    if (value ? !PyObject_TypeCheck(value, kept.type) : !kept.nullable) {
        PyErr_SetString(PyExc_TypeError, kept.refusal);
        return -1;
    }
    Py_XSETREF(as_function(self)->*kept.slot, Py_XNewRef(value));
    return 0;
}

PyObject *get_closure(PyObject *, void *) {
    Py_RETURN_NONE;
}

// Made when first read: code objects are most of the cost of building the class, which every
// import pays and few programs look at. Making one may run Python code (a collection, say), so
// another thread may have made it meanwhile: then that one stays.
PyObject *get_code(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (!f->code) {
        Owned code = make_code(*f->row);
        if (!code)
            return nullptr;
        if (!f->code)
            f->code = code.release();
    }
    return Py_NewRef(f->code);
}

// Fixed, with the message a read-only member gives.
int set_code(PyObject *, PyObject *, void *) {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_attribute, set_attribute, nullptr, &name_attribute},
    {"__qualname__", get_attribute, set_attribute, nullptr, &qualname_attribute},
    {"__defaults__", get_attribute, set_attribute, nullptr, &defaults_attribute},
    {"__kwdefaults__", get_attribute, set_attribute, nullptr, &kwdefaults_attribute},
    {"__annotations__", get_annotations, set_attribute, nullptr, &annotations_attribute},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// An empty member reads as None.
PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    // Offsets a heap type learns from its members.
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The type is created with PyType_FromSpec (a heap type) when the first method is made, and kept
// for the life of the process like the class itself.
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

} // namespace

PyObject *new_function(const MethodRow &row, PyObject *module_name, PyObject *module_dict) {
    if (!function_type &&
        !(function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec))))
        return nullptr;
    // Allocated zeroed and tracked: the collector skips the slots not filled yet.
    Owned function = Owned::steal(PyType_GenericAlloc(function_type, 0));
    if (!function)
        return nullptr;
    FunctionObject *f = as_function(function.get());
    f->vectorcall = function_vectorcall;
    f->row = &row;
    f->module = Py_NewRef(module_name);
    f->globals = Py_NewRef(module_dict);
    return fill(f, row) < 0 ? nullptr : function.release();
}

} // namespace kq5316::binding
