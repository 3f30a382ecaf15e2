// The hosted kernel's C++ API for tests and tools (one include for all of it).
#pragma once

#include "clock.h"
#include "debug_output.h"
#include "hold_points.h"
#include "io_manager.h"
#include "kernel_state.h"
#include "pnp_manager.h"
#include "pool.h"
#include "power_manager.h"
#include "registry.h"
#include "scheduler.h"
#include "user_mode.h"
#include "verifier.h"
