// The MetadataCore method table: names, calling conventions, text signatures
// and docstrings, in the order they enter the class dictionary.
#pragma once

#include "binding/py.h"

namespace vedra::py {

extern PyMethodDef kCoreMethods[];
extern const char kCoreClassDoc[];

}  // namespace vedra::py
