// The pipe stand-in's Reset among those that standins::Scope runs.
#include "tests/standins/guarded.h"
#include "tests/standins/pipe/pipe_standin.h"

namespace brumo::pipe_standin {
const standins::ResetWhenLinked registered(&Reset);
}  // namespace brumo::pipe_standin
