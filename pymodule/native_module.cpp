// vendrask._native: the native core of the vendrask package.
//
// batch_sizes() runs a batch of compressions with the GIL released; the
// calling thread takes the GIL back only to report progress and to notice
// signals. quotients() turns the sizes into measures with the engine's own
// arithmetic. compressed_size() and the zlib constants let Python check a
// build's values against the known answers of the release that defines them.
//
// The module keeps no mutable state of its own (every call brings its own
// zlib memory), so it runs without the GIL and in interpreters with a GIL of
// their own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "vendrask.hpp"

#if defined(VENDRASK_ZLIB_BUILTIN) && ZLIB_VERNUM != 0x1210
#error "the built-in zlib must be compiled against its own zlib.h (1.2.1)"
#endif

namespace {

constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};
constexpr Py_ssize_t MAX_WORKERS = 1024;

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

// A buffer held for one call. The release needs the GIL: if the thread is
// unwound while it does not hold it (the interpreter ending a daemon thread
// at exit), the buffer is left to the dying process.
class Buffer {
public:
    explicit Buffer(const bool& gilHeld) : gilHeld_(gilHeld) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (view_.obj != nullptr && gilHeld_) PyBuffer_Release(&view_);
    }

    // A C-contiguous buffer of `count` items of `format` ("i": int32, "d":
    // float64, ...), writable if asked; sets a Python error and returns false
    // if `object` is not one.
    bool get(PyObject* object, const char* name, const char* format, Py_ssize_t itemSize,
             bool writable, Py_ssize_t count = -1) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
        const char* got = view_.format != nullptr ? view_.format : "B";
        if (got[0] == '=' || got[0] == '<' || got[0] == '@') ++got;
        if (std::strcmp(got, format) != 0 || view_.itemsize != itemSize ||
            (count >= 0 && view_.len != count * itemSize)) {
            PyErr_Format(PyExc_ValueError, "%s must be a contiguous array of %zd '%s' items", name,
                         count, format);
            return false;
        }
        return true;
    }

    // For the argument parser's "y*", or PyObject_GetBuffer, to fill.
    Py_buffer* raw() { return &view_; }

    Py_ssize_t count() const { return view_.len / view_.itemsize; }
    template <typename T>
    T* items() const {
        return static_cast<T*>(view_.buf);
    }

private:
    const bool& gilHeld_;
    Py_buffer view_{};
};

// batch_sizes(strings, dictionaries, data, sizes, workers, progress) -> None,
// or the message of the first failed probe. strings is a tuple of bytes (it
// keeps them alive while the GIL is released); dictionaries and data are
// int32 arrays of indices into it (-1 in dictionaries: no dictionary); sizes
// is a writable int32 array of the same length that receives the sizes (-1
// where a probe failed). progress is None or called as progress(done, total).
PyObject* batchSizes(PyObject*, PyObject* args) {
    PyObject* strings = nullptr;
    PyObject *dictionaryObject = nullptr, *dataObject = nullptr, *sizesObject = nullptr;
    Py_ssize_t workers = 1;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTuple(args, "O!OOOnO:batch_sizes", &PyTuple_Type, &strings, &dictionaryObject,
                          &dataObject, &sizesObject, &workers, &progress))
        return nullptr;
    if (workers < 1 || workers > MAX_WORKERS) {
        PyErr_Format(PyExc_ValueError, "workers must be from 1 to %zd, not %zd", MAX_WORKERS, workers);
        return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
        return nullptr;
    }
    bool gilHeld = true;
    Buffer dictionaries(gilHeld), data(gilHeld), sizes(gilHeld);
    if (!data.get(dataObject, "data", "i", 4, false)) return nullptr;
    const Py_ssize_t count = data.count();
    if (!dictionaries.get(dictionaryObject, "dictionaries", "i", 4, false, count) ||
        !sizes.get(sizesObject, "sizes", "i", 4, true, count))
        return nullptr;

    const Py_ssize_t stringCount = PyTuple_GET_SIZE(strings);
    const auto* dictionaryIndex = dictionaries.items<const std::int32_t>();
    const auto* dataIndex = data.items<const std::int32_t>();
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (dataIndex[k] < 0 || dataIndex[k] >= stringCount || dictionaryIndex[k] < -1 ||
            dictionaryIndex[k] >= stringCount) {
            PyErr_Format(PyExc_IndexError, "probe %zd indexes no string", k);
            return nullptr;
        }
    }

    std::vector<vendrask::ByteView> views;
    try {
        views.reserve(static_cast<std::size_t>(stringCount));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < stringCount; ++i) {
        PyObject* item = PyTuple_GET_ITEM(strings, i);
        if (!PyBytes_Check(item)) {
            PyErr_Format(PyExc_TypeError, "strings[%zd] must be bytes, not %.200s", i,
                         Py_TYPE(item)->tp_name);
            return nullptr;
        }
        views.push_back({PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))});
    }

    // int32 and uint32 share their representation; -1 reads as NO_DICTIONARY.
    static_assert(vendrask::NO_DICTIONARY == static_cast<std::uint32_t>(-1));
    const auto* dictionaryIds = reinterpret_cast<const std::uint32_t*>(dictionaryIndex);
    const auto* dataIds = reinterpret_cast<const std::uint32_t*>(dataIndex);

    bool pythonError = false;
    auto report = [&](std::size_t done) {
        if (PyErr_CheckSignals() < 0) return false;
        if (progress == Py_None) return true;
        PyObject* result = PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done), count);
        Py_XDECREF(result);
        return result != nullptr;
    };

    vendrask::BatchOutcome outcome;
    std::string nativeError;
    enum { NONE, NO_MEMORY, NO_THREAD, OTHER } kind = NONE;
    PyThreadState* state = PyEval_SaveThread();
    gilHeld = false;
    try {
        outcome = vendrask::probeBatch(
            views.data(), dictionaryIds, dataIds, sizes.items<std::int32_t>(),
            static_cast<std::size_t>(count), static_cast<unsigned>(workers),
            [&](std::size_t done) {
                PyEval_RestoreThread(state);  // may end this thread at interpreter exit
                gilHeld = true;
                const bool goOn = report(done);
                pythonError = !goOn;
                gilHeld = false;
                state = PyEval_SaveThread();
                return goOn;
            },
            PROGRESS_INTERVAL);
    } catch (const std::bad_alloc&) {
        kind = NO_MEMORY;
    } catch (const std::system_error& error) {
        kind = NO_THREAD;
        nativeError = error.code().message();
    } catch (const std::exception& error) {
        kind = OTHER;
        nativeError = error.what();
    }
    PyEval_RestoreThread(state);
    gilHeld = true;

    switch (kind) {
        case NO_MEMORY: return PyErr_NoMemory();
        case NO_THREAD:
            PyErr_Format(PyExc_RuntimeError, "could not start the worker threads: %s", nativeError.c_str());
            return nullptr;
        case OTHER:
            PyErr_Format(PyExc_RuntimeError, "vendrask: %s", nativeError.c_str());
            return nullptr;
        case NONE: break;
    }
    if (!outcome.finished) {
        if (!pythonError || !PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "vendrask: the batch stopped without a reason");
        return nullptr;
    }
    if (const char* message = vendrask::probeMessage(outcome.failure)) return PyUnicode_FromString(message);
    Py_RETURN_NONE;
}

// quotients(k_s_e, k_s_t, k_t_s, k_s_s, k_t_t, out) -> None, or the message
// for a size of 0. The five are int32 arrays of one length, out a writable
// float64 array of that length; out[k] is the measure from the five sizes,
// NaN where one of them is not positive.
PyObject* quotients(PyObject*, PyObject* args) {
    PyObject* objects[6];
    if (!PyArg_ParseTuple(args, "OOOOOO:quotients", &objects[0], &objects[1], &objects[2],
                          &objects[3], &objects[4], &objects[5]))
        return nullptr;
    static const char* const names[] = {"k_s_e", "k_s_t", "k_t_s", "k_s_s", "k_t_t"};
    bool gilHeld = true;
    Buffer out(gilHeld);
    if (!out.get(objects[5], "out", "d", 8, true)) return nullptr;
    const Py_ssize_t count = out.count();
    Buffer sizes[5] = {Buffer(gilHeld), Buffer(gilHeld), Buffer(gilHeld), Buffer(gilHeld), Buffer(gilHeld)};
    const std::int32_t* k[5];
    for (int i = 0; i < 5; ++i) {
        if (!sizes[i].get(objects[i], names[i], "i", 4, false, count)) return nullptr;
        k[i] = sizes[i].items<const std::int32_t>();
    }
    double* values = out.items<double>();
    bool zero = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const vendrask::PairSizes five{k[0][i], k[1][i], k[2][i], k[3][i], k[4][i]};
        zero = zero || vendrask::hasZeroSize(five);
        values[i] = vendrask::measureFromSizes(five);
    }
    if (zero) return PyUnicode_FromString(vendrask::message::ZERO_SIZE);
    Py_RETURN_NONE;
}

// compressed_size(data, dictionary=None, /) -> int: the compressed size of
// data, primed with dictionary unless it is None (an empty dictionary is
// still given). zlib's memory comes from an arena made for this call alone,
// so that calls on several threads or interpreters never share one.
PyObject* compressedSize(PyObject*, PyObject* args) {
    bool gilHeld = true;
    Buffer data(gilHeld), dictionary(gilHeld);
    PyObject* dictionaryObject = Py_None;
    if (!PyArg_ParseTuple(args, "y*|O:compressed_size", data.raw(), &dictionaryObject)) return nullptr;
    if (dictionaryObject != Py_None &&
        PyObject_GetBuffer(dictionaryObject, dictionary.raw(), PyBUF_SIMPLE) < 0)
        return nullptr;
    std::unique_ptr<vendrask::ProbeArena> arena(new (std::nothrow) vendrask::ProbeArena);
    if (!arena) return PyErr_NoMemory();
    std::int32_t size = 0;
    PyThreadState* state = PyEval_SaveThread();
    gilHeld = false;
    const auto status = vendrask::probeSize(
        arena.get(), dictionary.items<const char>(), static_cast<std::size_t>(dictionary.raw()->len),
        data.items<const char>(), static_cast<std::size_t>(data.raw()->len), size);
    PyEval_RestoreThread(state);  // may end this thread at interpreter exit
    gilHeld = true;
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
    {"batch_sizes", batchSizes, METH_VARARGS,
     "batch_sizes($module, strings, dictionaries, data, sizes, workers, progress, /)\n--\n\n"
     "sizes[k] = the compressed size of strings[data[k]] primed with\n"
     "strings[dictionaries[k]] (-1: no dictionary), on `workers` threads with\n"
     "the GIL released; None, or the message of the first failed probe\n"
     "(whose size is left -1)."},
    {"quotients", quotients, METH_VARARGS,
     "quotients($module, k_s_e, k_s_t, k_t_s, k_s_s, k_t_t, out, /)\n--\n\n"
     "out[k] = the measure from the five sizes of pair k (NaN where one is not\n"
     "positive); None, or the message for a size of 0."},
    {"compressed_size", compressedSize, METH_VARARGS,
     "compressed_size($module, data, dictionary=None, /)\n--\n\n"
     "The compressed size of data in bytes, primed with dictionary unless it\n"
     "is None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Nothing here touches a Python object without the GIL.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vendrask._native",
    .m_doc = "Native core of the vendrask package, and the zlib it compresses with.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&moduleDef); }
