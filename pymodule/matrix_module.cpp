// vendrask._matrix: the native core of vendrask.cdist. It converts the two
// tuples of bytes and the output buffer, then computes with the GIL released;
// the calling thread takes the GIL back only to report progress and to notice
// signals.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "vendrask.hpp"

namespace {

constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};
constexpr Py_ssize_t MAX_WORKERS = 1024;

bool views(PyObject* tuple, const char* name, std::vector<vendrask::ByteView>& out) {
    const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (!PyBytes_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s[%zd] must be bytes, not %.200s", name, i,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        out.push_back({PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))});
    }
    return true;
}

// Releases the output buffer on every path.
struct BufferGuard {
    Py_buffer view{};
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// compute(ts, ss, out, workers, progress) -> None, or the message of the first
// failed probe. ts and ss are tuples of bytes (they keep the strings alive
// while the GIL is released); out is a writable C-contiguous float64 buffer of
// len(ts) * len(ss) items; progress is None or called as progress(done, total).
PyObject* compute(PyObject*, PyObject* args) {
    PyObject* ts = nullptr;
    PyObject* ss = nullptr;
    PyObject* out = nullptr;
    Py_ssize_t workers = 1;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTuple(args, "O!O!OnO:compute", &PyTuple_Type, &ts, &PyTuple_Type, &ss, &out,
                          &workers, &progress))
        return nullptr;
    if (workers < 1 || workers > MAX_WORKERS) {
        PyErr_Format(PyExc_ValueError, "workers must be from 1 to %zd, not %zd", MAX_WORKERS, workers);
        return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    BufferGuard buffer;
    if (PyObject_GetBuffer(out, &buffer.view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
        return nullptr;
    buffer.held = true;
    const auto rows = static_cast<std::size_t>(PyTuple_GET_SIZE(ts));
    const auto columns = static_cast<std::size_t>(PyTuple_GET_SIZE(ss));
    const bool fits = columns == 0 || rows <= SIZE_MAX / sizeof(double) / columns;
    if (!fits || std::strcmp(buffer.view.format, "d") != 0 || buffer.view.itemsize != sizeof(double) ||
        static_cast<std::size_t>(buffer.view.len) != rows * columns * sizeof(double)) {
        PyErr_SetString(PyExc_ValueError, "out must hold len(ts) * len(ss) float64 values");
        return nullptr;
    }

    const char* failure = nullptr;
    bool interrupted = false;  // a Python exception is set
    enum { NONE, NO_MEMORY, NO_THREAD } nativeError = NONE;
    try {
        std::vector<vendrask::ByteView> tViews, sViews;
        if (!views(ts, "ts", tViews) || !views(ss, "ss", sViews)) return nullptr;
        vendrask::MeasureMatrix matrix(tViews, sViews);
        const auto total = static_cast<Py_ssize_t>(matrix.taskCount());
        auto report = [&](std::size_t done) {
            if (PyErr_CheckSignals() < 0) return false;
            if (progress == Py_None) return true;
            PyObject* result = PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done), total);
            Py_XDECREF(result);
            return result != nullptr;
        };
        PyThreadState* state = PyEval_SaveThread();
        try {
            interrupted = !matrix.run(static_cast<unsigned>(workers), [&](std::size_t done) {
                PyEval_RestoreThread(state);
                const bool goOn = report(done);
                state = PyEval_SaveThread();
                return goOn;
            }, PROGRESS_INTERVAL);
            if (!interrupted) failure = matrix.fill(static_cast<double*>(buffer.view.buf));
        } catch (const std::bad_alloc&) {
            nativeError = NO_MEMORY;
        } catch (const std::system_error&) {
            nativeError = NO_THREAD;
        }
        PyEval_RestoreThread(state);
        if (!interrupted && nativeError == NONE && !report(matrix.taskCount())) interrupted = true;
    } catch (const std::bad_alloc&) {
        nativeError = NO_MEMORY;
    }
    if (nativeError == NO_MEMORY) return PyErr_NoMemory();
    if (nativeError == NO_THREAD) {
        PyErr_SetString(PyExc_RuntimeError, "could not start the worker threads");
        return nullptr;
    }
    if (interrupted) return nullptr;
    if (failure != nullptr) return PyUnicode_FromString(failure);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"compute", compute, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // compute() touches no Python object without the GIL.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vendrask._matrix",
    .m_doc = "Native core of vendrask.cdist.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__matrix() { return PyModuleDef_Init(&moduleDef); }
