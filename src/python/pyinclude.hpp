// Python and NumPy headers for the binding. The NumPy API table lives in module.cpp; every other
// binding file sees it through NO_IMPORT_ARRAY.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL ornik_ARRAY_API
#ifndef ORNIK_DEFINE_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <utility>
