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

// The error for a keyword that binds no parameter: not a string, naming no parameter
// (`named_index` is past the last), or naming one given by position.
int raise_keyword_error(const MethodRow &row, PyObject *keyword, Py_ssize_t named_index) {
    if (!PyUnicode_Check(keyword))
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", row.name);
    else if (named_index > row.parameter_count)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                     keyword);
    else
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     row.name, keyword);
    return -1;
}

int check_types(const MethodRow &row, PyObject *const *bound) {
    for (int i = 0; i < row.parameter_count; ++i) {
        const Parameter &parameter = row.parameters[i];
        if (Py_IS_TYPE(bound[i + 1], parameter.type))
            continue;
        // Each `%.200s` keeps at most 200 bytes of its text.
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     parameter.name, parameter.type->tp_name, Py_TYPE(bound[i + 1])->tp_name);
        return -1;
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

    // Keywords fill the parameters after the positional ones. The first, in call order, that
    // binds none is reported only once every required parameter is known to be there.
    PyObject *refused = nullptr;
    Py_ssize_t refused_index = 0;
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        while (index < total && !keyword_is(keyword, parameter_name(row, index)))
            ++index;
        if (index < total && index >= positional_count) {
            bound[index] = args[positional_count + k];
        } else if (!refused) {
            refused = keyword;
            refused_index = index;
        }
    }
    // The count reported as given is the number of leading parameters that were supplied.
    for (Py_ssize_t i = positional_count; i < required; ++i) {
        if (!bound[i])
            return raise_arity(row, i);
    }
    if (refused)
        return raise_keyword_error(row, refused, refused_index);

    if (!bound[total - 1])
        bound[total - 1] = names().default_channel; // the default is fixed; __defaults__ is a view
    return check_types(row, bound);
}

} // namespace kq5316::binding
