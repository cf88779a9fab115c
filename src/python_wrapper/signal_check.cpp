#include "python_wrapper/signal_check.hpp"

namespace wrenmark::python {

// Asked without running any Python code: a pending signal handler must not run (and raise)
// here, where nothing would report its exception.
bool on_main_thread() { return _PyOS_IsMainThread() != 0; }

}  // namespace wrenmark::python
