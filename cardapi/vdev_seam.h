// Hooks for the test programs' card seams (tests/seams). The driver refers to
// them weakly; the installed programs link no definition, so there they stay
// null and every exchange goes to the software card unobserved.
#pragma once

#include <cstdint>

// Runs one exchange on a stand-in card when a test has set one: true with the
// stand-in's return code in *io, false to use the software card.
bool tarn_seam_vdev_card(const uint8_t* cmd, uint32_t cmdLen, uint8_t* reply, uint32_t* replyLen,
                         int32_t* io);

// Shows one completed exchange to the observer a test has set, if any.
void tarn_seam_vdev_observe(const uint8_t* cmd, unsigned cmdLen, const uint8_t* reply,
                            unsigned replyLen);

// Shows the driver's command and reply areas, whole, as an exchange leaves
// them, to the observer a test has set, if any.
void tarn_seam_vdev_leftover(const uint8_t* cmd, unsigned cmdCap, const uint8_t* reply,
                             unsigned replyCap);
