#pragma once

#include <exception>
#include <new>

#include "binding/errors.h"

namespace vedra::py {

template <typename Body>
PyObject* guarded(Body&& body) {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  } catch (const std::exception& e) {
    result = raise_internal_fault(e.what());
  } catch (...) {
    result = raise_internal_fault("unknown internal fault");
  }
  return finish_call(result);
}

}  // namespace vedra::py
