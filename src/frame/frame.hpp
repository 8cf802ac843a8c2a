// The frame every lumabo module is built on: references, the module's
// state, interned names, traceback entries, function objects and argument
// binding, conversions, override dispatch, and the module's create and exec
// steps.
#pragma once

#include "refs.hpp"
#include "state.hpp"
#include "strings.hpp"
#include "traceback.hpp"
#include "function.hpp"
#include "convert.hpp"
#include "property.hpp"
#include "dispatch.hpp"
#include "instance.hpp"
#include "module.hpp"
