// vendrask._zlib_native: which zlib the modules compress with, and the
// engine's own compressed-size probe, so that Python can check a build's
// values against the known answers of the release that defines them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>

#include "vendrask.hpp"

#if defined(VENDRASK_ZLIB_BUILTIN) && ZLIB_VERNUM != 0x1210
#error "the built-in zlib must be compiled against its own zlib.h (1.2.1)"
#endif

namespace {

#ifdef VENDRASK_ZLIB_STATIC
constexpr bool STATIC_ZLIB = true;
#else
constexpr bool STATIC_ZLIB = false;
#endif

#ifdef ZLIBNG_VERSION
constexpr bool NG_HEADER = true;
#else
constexpr bool NG_HEADER = false;
#endif

// Releases a buffer on every path.
struct BufferGuard {
    Py_buffer view{};
    ~BufferGuard() {
        if (view.obj != nullptr) PyBuffer_Release(&view);
    }
};

// probe(data, dictionary=None, /) -> int: the compressed size of data, primed
// with dictionary unless it is None (an empty dictionary is still given).
PyObject* probe(PyObject*, PyObject* args) {
    BufferGuard data;
    BufferGuard dictionary;
    PyObject* dictionaryObject = Py_None;
    if (!PyArg_ParseTuple(args, "y*|O:probe", &data.view, &dictionaryObject)) return nullptr;
    // None means no dictionary at all; an empty one is still given to zlib.
    if (dictionaryObject != Py_None &&
        PyObject_GetBuffer(dictionaryObject, &dictionary.view, PyBUF_SIMPLE) < 0)
        return nullptr;
    std::int32_t size = 0;
    const auto status = vendrask::probeSize(
        &vendrask::moduleArena(), static_cast<const char*>(dictionary.view.buf),
        static_cast<std::size_t>(dictionary.view.len), static_cast<const char*>(data.view.buf),
        static_cast<std::size_t>(data.view.len), size);
    if (status != vendrask::ProbeStatus::Ok) {
        PyErr_SetString(PyExc_RuntimeError, vendrask::probeMessage(status));
        return nullptr;
    }
    return PyLong_FromLong(size);
}

// PyModule_AddObjectRef arrived in 3.10.
int addBool(PyObject* module, const char* name, bool value) {
    PyObject* object = value ? Py_True : Py_False;
    Py_INCREF(object);
    if (PyModule_AddObject(module, name, object) == 0) return 0;
    Py_DECREF(object);
    return -1;
}

int exec(PyObject* module) {
    const char* running = zlibVersion();
    // A shared zlib can be swapped under us, so the running library's own
    // text counts as much as the header we were compiled with.
    const bool ng = NG_HEADER || std::strstr(running, "zlib-ng") != nullptr;
    if (PyModule_AddStringConstant(module, "version", running) < 0) return -1;
    if (PyModule_AddStringConstant(module, "header_version", ZLIB_VERSION) < 0) return -1;
    if (addBool(module, "static", STATIC_ZLIB) < 0) return -1;
    return addBool(module, "zlib_ng", ng);
}

PyMethodDef methods[] = {
    {"probe", probe, METH_VARARGS, "probe(data, dictionary=None, /) -> compressed size in bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
    // probe() uses the module-wide arena, which the one shared GIL serialises.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vendrask._zlib_native",
    .m_doc = "The zlib that vendrask compresses with, and its compressed-size probe.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zlib_native() { return PyModuleDef_Init(&moduleDef); }
