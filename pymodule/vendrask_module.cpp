// _vendrask: the Python boundary of the measure engine. Each function parses
// its arguments, calls the engine and builds the result; the module keeps no
// state of its own. The engine's state is process-wide and serialised by the
// GIL, which is never released here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vendrask.hpp"

namespace {

constexpr const char* REQUIRE_FAILED =
    "Contract violation: require: (arg1!=0)&&(arg3!=0)&&(arg2>=0)&&(arg4>=0)";
constexpr const char* ENSURE_FAILED = "Contract violation: ensure: (result>=0)&&(result<=1)";

PyObject* abcdefgh(PyObject*, PyObject* args) {
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "s:abcdefgh", &text)) return nullptr;
    vendrask::debugSwitch(text);
    Py_RETURN_NONE;
}

PyObject* error(PyObject*, PyObject* args) {
    if (!PyArg_ParseTuple(args, ":error")) return nullptr;
    const char* message = vendrask::lastError();
    if (message == nullptr) Py_RETURN_NONE;
    return PyUnicode_FromString(message);
}

PyObject* measure(PyObject*, PyObject* args) {
    PyObject* tObject = nullptr;
    PyObject* sObject = nullptr;
    if (!PyArg_ParseTuple(args, "OO:measure", &tObject, &sObject)) return nullptr;
    char* t = nullptr;
    char* s = nullptr;
    Py_ssize_t n_t = 0;
    Py_ssize_t n_s = 0;
    if (PyBytes_AsStringAndSize(tObject, &t, &n_t) < 0) return nullptr;
    if (PyBytes_AsStringAndSize(sObject, &s, &n_s) < 0) return nullptr;
    if (t == nullptr || s == nullptr || n_t < 0 || n_s < 0) {
        PyErr_SetString(PyExc_RuntimeError, REQUIRE_FAILED);
        return nullptr;
    }
    const double x = vendrask::measureCore(t, static_cast<std::size_t>(n_t), s,
                                           static_cast<std::size_t>(n_s));
    if (!(x >= 0.0 && x <= 1.0)) {  // also catches NaN
        PyErr_SetString(PyExc_RuntimeError, ENSURE_FAILED);
        return nullptr;
    }
    return PyFloat_FromDouble(x);
}

PyObject* adjust(PyObject*, PyObject* args) {
    float a = 0.0f;
    float b = 0.0f;
    if (!PyArg_ParseTuple(args, "ff:adjust", &a, &b)) return nullptr;
    return PyFloat_FromDouble(vendrask::adjustCore(a, b));
}

PyMethodDef methods[] = {
    {"abcdefgh", abcdefgh, METH_VARARGS, nullptr},
    {"error", error, METH_VARARGS, nullptr},
    {"measure", measure, METH_VARARGS, nullptr},
    {"adjust", adjust, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_multiple_interpreters
    // Subinterpreters may import us, but only while they share the one GIL
    // that serialises the engine's process-wide state.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // A free-threaded interpreter keeps the GIL on while we are loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vendrask",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vendrask() { return PyModuleDef_Init(&moduleDef); }
