// The manifest layer's errors are the core's one error value (base/error.h); a failure
// particular to manifests is its Reason kind, with a code from docs/reason-codes.md.
#pragma once

#include "base/error.h"
