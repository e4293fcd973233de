// The Python exception that each engine exception becomes, shared by the extension
// modules: the engine's errors reach Python as the same types with the same
// messages, whichever entry ran the engine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <ios>
#include <memory>
#include <new>
#include <stdexcept>
#include <typeinfo>

// Sets `type` with `text`, undecodable bytes replaced, so that an odd message never
// turns into a different error.
inline void set_error(PyObject* type, const char* text) {
    const std::unique_ptr<PyObject, decltype(&Py_DecRef)> message(
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"), &Py_DecRef);
    if (message) PyErr_SetObject(type, message.get());
}

// Turns the C++ exception in flight into a pending Python exception. Must be called
// from a catch block. A Python exception that is already pending wins.
inline void translate_exception() {
    if (PyErr_Occurred()) return;
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        set_error(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        set_error(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        set_error(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        set_error(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        set_error(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        set_error(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        set_error(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        set_error(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        set_error(PyExc_RuntimeError, "Unknown exception");
    }
}
