// Allocation sites for the allocation sweep: a site is a pool tag and the
// position of an allocation among those of that tag made at PASSIVE_LEVEL.
//
// Counting only passive-level allocations keeps a site's number the same
// from one run of a life to the next: the per-read request packets are
// allocated in read completions on the bus's threads at DISPATCH_LEVEL, and
// how many of them precede a given passive allocation depends on timing.
//
// The sweep's executable links with --wrap=ExAllocatePoolWithTag, so every
// allocation of the driver and of the platform below it passes through here
// before the pool sees it; a loaded driver image's too, since its import
// thunk (platform/loader) calls the pool from an object file of its own.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>

namespace m4350test::sweep {

// Passive-level allocations by tag (protected-pool bit cleared) since the
// last ResetSites.
std::map<ULONG, uint64_t> SiteCounts();
// Of those, the allocations made inside a call from a loaded driver image
// (its own, and the platform's on its behalf).
uint64_t ImageSites();
void ResetSites();

// The n-th passive allocation with `tag` from now on fails (n counts from 1);
// only that one. Replaces an earlier choice.
void FailSite(ULONG tag, uint64_t n);
// Whether the chosen allocation was reached (and failed) since FailSite.
bool SiteFailed();
void ClearSite();

} // namespace m4350test::sweep
