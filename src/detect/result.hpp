// The value-or-error type now lives below the models, in common/result.hpp;
// this forwarding header keeps the dynp files building until their include
// names the new place.
#pragma once

#include "common/result.hpp"
