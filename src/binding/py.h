// The binding's common include for the files that touch Python objects: the
// limited API and Ref, defined in store/py_ref.h so that the store's Python
// conversions share them without including the binding.
#pragma once

#include "store/py_ref.h"
