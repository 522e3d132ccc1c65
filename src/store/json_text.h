// The JSON text form as a whole: the writer (json_writer.h) and the reader
// (json_reader.h), for code that uses both, such as tests of the form.
// Engine code includes the half it uses.
#pragma once

#include "store/json_reader.h"
#include "store/json_writer.h"
