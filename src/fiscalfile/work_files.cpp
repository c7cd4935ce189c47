// The two work-file helpers share one loop; they differ in how the destination
// is opened and in what the operator is told.
#include "fiscalfile/work_files.h"

#include "log/file_helpers.h"
#include "log/text.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "ui/boxes.h"

namespace moldrin::fiscalfile {

namespace {

constexpr uint32_t kPiece = 1024;

struct Messages {
    const char* sourceOpen;
    const char* destinationOpen;
    const char* write;
    const char* sourceClose;
    const char* destinationClose;
};

int CopyInto(const char* source, const char* destination, bool append, const Messages& m) {
    const log::FileHandle in = log::FileOpenShared(source);
    if (in == log::kInvalidFile) {
        ui::ErrorBox(m.sourceOpen);
        return 0;
    }
    bool ok = true;
    const log::FileHandle out = append ? log::FileOpenAppend(destination) : log::FileCreate(destination);
    if (out == log::kInvalidFile) {
        ui::ErrorBox(m.destinationOpen);
        ok = false;
    } else {
        char piece[kPiece + 1];
        for (;;) {
            const int32_t n = log::FileReadBlock(in, piece, kPiece);
            if (n == 0) break;
            // A piece is written as text, so it ends at its first NUL; a read
            // that fails must not pass for the end of the file.
            if (n > 0) piece[n] = 0;
            if (n < 0 || log::FileWriteText(out, piece) != 0) {
                ui::ErrorBox(m.write);
                ok = false;
                break;
            }
        }
    }
    if (log::FileClose(in) != 0) {
        ui::ErrorBox(m.sourceClose);
        ok = false;
    }
    if (out != log::kInvalidFile && log::FileClose(out) != 0) {
        ui::ErrorBox(m.destinationClose);
        ok = false;
    }
    return ok ? 1 : 0;
}

// Often enough that a waiting run starts soon after the other ends.
constexpr uint32_t kLockPollMs = 20;

}  // namespace

ProcessingLock::ProcessingLock(uint32_t waitMs) {
    // Opened, never emptied nor deleted: a lock file removed while held would
    // let the next run lock a new file beside the held one.
    handle_ = platform::Files().Open(kProcessingLockFile, platform::kAccessRead | platform::kAccessWrite,
                                     platform::kShareRead | platform::kShareWrite,
                                     platform::FileCreation::OpenExisting);
    if (handle_ == log::kInvalidFile) {
        handle_ = platform::Files().Open(kProcessingLockFile, platform::kAccessRead | platform::kAccessWrite,
                                         platform::kShareRead | platform::kShareWrite,
                                         platform::FileCreation::CreateNew);
        // Another run made it meanwhile.
        if (handle_ == log::kInvalidFile)
            handle_ = platform::Files().Open(kProcessingLockFile, platform::kAccessRead | platform::kAccessWrite,
                                             platform::kShareRead | platform::kShareWrite,
                                             platform::FileCreation::OpenExisting);
    }
    if (handle_ == log::kInvalidFile) return;
    const uint32_t start = platform::TickMs();
    for (;;) {
        held_ = platform::Files().TryLock(handle_);
        if (held_ || platform::TickMs() - start >= waitMs) return;
        platform::SleepMs(kLockPollMs);
    }
}

ProcessingLock::~ProcessingLock() {
    if (handle_ != log::kInvalidFile) platform::Files().Close(handle_);
}

int WorkFileCopy(const char* source, const char* destination) {
    static const Messages m{"ERRO NA ABERTURA DO ARQUIVO ORIGEM", CP1252("ERRO NA CRIAÇÃO DO ARQUIVO DESTINO"),
                            "ERRO AO COPIAR ARQUIVO DE TRABALHO", "ERRO AO FECHAR ARQ ORIGEM",
                            "ERRO AO FECHAR ARQ DESTINO"};
    return CopyInto(source, destination, false, m);
}

int WorkFileAppend(const char* source, const char* destination) {
    static const Messages m{"ERRO NA ABERTURA DO ARQUIVO TRABALHO 1", "ERRO NO ABERTURA DO ARQUIVO DE TRABALHO 2",
                            "ERRO AO ACRESCENTAR REGISTROS NO ARQ TRABALHO 2", "ERRO AO FECHAR ARQ TRABALHO 1",
                            "ERRO AO FECHAR ARQ TRABALHO 2"};
    return CopyInto(source, destination, true, m);
}

}  // namespace moldrin::fiscalfile
