// NumPy's C API is a table of function pointers fetched at import time. Only
// module.cpp fetches it; every other file sees the same table.
#pragma once

#include "lib/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL marbolt_rs_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef MARBOLT_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
