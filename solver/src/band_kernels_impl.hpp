// The definitions of the block kernels and coupling steps, for the
// translation units that instantiate them or inline them into the worker:
// kernels/dispatch.hpp says which variant runs where.
#pragma once

#include "kernels/dispatch.hpp"
