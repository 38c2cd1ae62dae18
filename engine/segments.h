// Every piece of the wide sieve's parallel part, for code that wants them
// all: the block fill (blockfill.h), the segments' bytes (segmentbytes.h),
// the job's threads as a producer (cpuproducer.h) and the ring (ring.h).
#pragma once
#include "engine/blockfill.h"
#include "engine/cpuproducer.h"
#include "engine/ring.h"
#include "engine/segmentbytes.h"
