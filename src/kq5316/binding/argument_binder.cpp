#include "kq5316/binding/methods.hpp"

#include "kq5316/common/process_globals.hpp"

namespace kq5316::binding {

namespace {

int raise_arity(const MethodRow &row, Py_ssize_t given) {
    const Py_ssize_t most = row.parameter_count + 1;
    const Py_ssize_t least = row.has_channel_default ? most - 1 : most;
    const bool too_few = given < least;
    const Py_ssize_t expected = too_few ? least : most;
    const char *bound_word = !row.has_channel_default ? "exactly"
                             : too_few                ? "at least"
                                                      : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 row.name, bound_word, expected, expected == 1 ? "" : "s", given);
    return -1;
}

bool keyword_is(PyObject *keyword, const char *name) {
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

// The value passed for `name` by keyword, or null.
PyObject *keyword_value(PyObject *kwnames, PyObject *const *kwvalues, const char *name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (keyword_is(PyTuple_GET_ITEM(kwnames, i), name))
            return kwvalues[i];
    }
    return nullptr;
}

// Called when some keyword was not taken by a parameter after the positional ones: reports the
// first keyword, in call order, that is not a string, names a parameter already given by
// position, or names no parameter at all.
int raise_keyword_error(const MethodRow &row, Py_ssize_t positional_count, PyObject *kwnames) {
    const Py_ssize_t total = row.parameter_count + 1;
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", row.name);
            return -1;
        }
        Py_ssize_t index = 0;
        while (index < total && !keyword_is(keyword, parameter_name(row, index)))
            ++index;
        if (index == total) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                         keyword);
            return -1;
        }
        if (index < positional_count) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         row.name, keyword);
            return -1;
        }
    }
    return 0;
}

// Each `%.200s` keeps at most 200 bytes of its text.
int raise_wrong_type(const Parameter &parameter, PyObject *value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter.name, parameter.type->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

int check_types(const MethodRow &row, PyObject *const *bound) {
    for (int i = 0; i < row.parameter_count; ++i) {
        const Parameter &parameter = row.parameters[i];
        PyObject *value = bound[i + 1];
        if (!Py_IS_TYPE(value, parameter.type))
            return raise_wrong_type(parameter, value);
    }
    return 0;
}

} // namespace

int bind_arguments(const MethodRow &row, PyObject *const *args, Py_ssize_t positional_count,
                   PyObject *kwnames, PyObject **bound) {
    const Py_ssize_t total = row.parameter_count + 1;
    const Py_ssize_t required = row.has_channel_default ? total - 1 : total;
    if (positional_count > total)
        return raise_arity(row, positional_count);

    for (Py_ssize_t i = 0; i < total; ++i)
        bound[i] = i < positional_count ? args[i] : nullptr;

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t keywords_taken = 0;
    for (Py_ssize_t i = positional_count; i < total; ++i) {
        PyObject *value =
            keyword_count ? keyword_value(kwnames, args + positional_count, parameter_name(row, i))
                          : nullptr;
        if (value) {
            bound[i] = value;
            ++keywords_taken;
        } else if (i < required) {
            // The count reported as given is the number of leading parameters that were supplied.
            return raise_arity(row, i);
        }
    }
    if (keywords_taken < keyword_count && raise_keyword_error(row, positional_count, kwnames) < 0)
        return -1;

    if (!bound[total - 1])
        bound[total - 1] = names().default_channel; // the default is fixed; __defaults__ is a view
    return check_types(row, bound);
}

} // namespace kq5316::binding
