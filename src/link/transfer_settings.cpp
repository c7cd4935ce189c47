// Per-thread transfer settings: which settings the calling thread's transfers
// use. Reading them is line_wait's; choosing them, the caller's.
#include "link/transfer_settings.h"

namespace moldrin::link {

namespace {
thread_local const TransferSettings* t_settings = nullptr;
}  // namespace

const TransferSettings* ThreadTransferSettings() { return t_settings; }

ScopedTransferSettings::ScopedTransferSettings(const TransferSettings& settings)
    : settings_(settings), previous_(t_settings) {
    t_settings = &settings_;
}

ScopedTransferSettings::~ScopedTransferSettings() { t_settings = previous_; }

}  // namespace moldrin::link
