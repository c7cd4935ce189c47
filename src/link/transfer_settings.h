// The settings one thread's transfers run under when they are not the
// session's own: the capture's queries wait longer and show no boxes, from
// the application's thread and from the capture worker alike.
#pragma once
#include <cstdint>

namespace moldrin::link {

struct TransferSettings {
    uint32_t timeoutSeconds = 10;
    int32_t showDialogs = 0;
    int32_t dialogsRestore = 0;
};

// The settings of the calling thread's transfers, or null for the session's.
const TransferSettings* ThreadTransferSettings();

// While one lives, the transfers of the thread that made it use its settings,
// and the session's fields, which the application may be setting meanwhile,
// are left alone.
class ScopedTransferSettings {
public:
    explicit ScopedTransferSettings(const TransferSettings& settings);
    ~ScopedTransferSettings();
    ScopedTransferSettings(const ScopedTransferSettings&) = delete;
    ScopedTransferSettings& operator=(const ScopedTransferSettings&) = delete;

private:
    TransferSettings settings_;
    const TransferSettings* previous_;
};

}  // namespace moldrin::link
