// The shared C++ layer of the tarvo.tcl extension modules, in one include.
#pragma once

#include "ref.hpp"
#include "args.hpp"
#include "module.hpp"
