// The space-filling sampling designs that the design-of-experiments builders import: the
// random stream, optimised Latin hypercubes and Hammersley sets.
#pragma once

#include "external/hammersley.h"
#include "external/latin_hypercube.h"
#include "external/sampling_design.h"
#include "external/sampling_random.h"
