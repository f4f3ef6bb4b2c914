#include "module_job.h"

#include <chrono>

#include "download_plan.h"
#include "status.h"
#include "text_format.h"

namespace vbprog {

namespace {

int startApplication(FlashSession& session, const ModuleJob& job, const SessionCallbacks& callbacks)
{
    if (job.start == StartAfter::Go)
        return session.start(kApplicationStart);
    try {
        runSteps(session.link(), job.startSteps);
    } catch (const TransportError& e) {
        if (callbacks.message)
            callbacks.message(kError, std::string("The firmware was written but not started: ") + e.what());
        return kLinkLost;
    }
    if (callbacks.message)
        callbacks.message(kInfo, "Reset into the application (" + stepsText(job.startSteps) + ")");
    return kOk;
}

}  // namespace

ModuleOutcome runModuleJob(FlashSession& session, const ModuleJob& job, const SessionCallbacks& callbacks)
{
    const auto started = std::chrono::steady_clock::now();
    ModuleOutcome out;
    out.port = job.port.name;
    out.step = "connect";
    // The first phase that fails names the step; a restore may follow it.
    bool phaseFailed = false;
    SessionCallbacks watched = callbacks;
    watched.progress = [&](const ProgressEvent& e) {
        if (e.state == ProgressEvent::Failed && !phaseFailed) {
            phaseFailed = true;
            out.step = phaseName(e.phase);
        }
        if (callbacks.progress)
            callbacks.progress(e);
    };
    session.setCallbacks(watched);

    out.status = job.boot ? BootEntry(*job.boot, job.words).connect(session, job.port, watched, job.stop) : session.connect(job.port);
    if (out.status == kOk) {
        out.pid = session.device().pid;
        out.deviceName = session.device().device->name;
        if (const auto& uid = session.device().uniqueId)
            out.uniqueId = toHex(uid->data(), uid->size());
        if (job.readIdentifiers) {
            out.operation = Operation::ReadKeys;
            out.step = "read-keys";
            ModuleIdentifiers ids;
            out.status = session.readIdentifiers(ids);
            if (out.status == kOk) {
                out.identified = true;
                out.devEUI = toHex(ids.devEui, sizeof ids.devEui);
                out.joinEUI = toHex(ids.joinEui, sizeof ids.joinEui);
                out.appKey = toHex(ids.appKey, sizeof ids.appKey);
            }
        }
    }
    // A stop before the download began leaves the module as it was.
    if (job.stop && *job.stop && (out.status == kOk || out.status == kNotConnected))
        out.skipped = true;
    else if (out.status == kOk && job.image && job.beforeDownload && !job.beforeDownload(out))
        out.skipped = true;
    // Reading only: the image's ranges checked against this module's flash first, as a
    // download's plan checks them.
    std::optional<SessionError> ownError;
    if (out.status == kOk && job.image && job.compareOnly && !out.skipped) {
        out.step = "verify";
        const ConnectedDevice& d = session.device();
        const Result<DownloadPlan> fits =
            makeDownloadPlan(*job.image, *d.device, d.flashSize, job.download.startAddress, false);
        if (!fits) {
            out.status = fits.error().status;
            ownError = failure(out.status, job.shownName + ": " + fits.error().what);
            if (callbacks.message)
                callbacks.message(kError, ownError->what);
        } else {
            out.status = compareWithFlash(session, *job.image, out.compare, watched.progress);
        }
        if (out.status == kOk && out.compare.differing > 0) {
            out.status = kDiffers;
            const uint64_t n = out.compare.differing;
            ownError = SessionError{kDiffers,
                                    fmt("%s: %llu of %llu bytes differ from the module's flash, the first at 0x%08X",
                                        job.shownName.c_str(), (unsigned long long)n,
                                        (unsigned long long)out.compare.compared, unsigned(*out.compare.firstDifference)),
                                    {}, out.compare.firstDifference};
            if (callbacks.message)
                callbacks.message(kError, ownError->what);
        }
    } else if (out.status == kOk && !job.image && job.readSize > 0 && !out.skipped) {
        out.step = "read";
        out.status = readModuleMemory(session, job.readFrom, job.readSize, out.memory, watched.progress);
    } else if (out.status == kOk && job.image && !out.skipped) {
        out.operation = Operation::Download;
        out.step = "download";  // a refusal before any phase; otherwise the phase that fails
        phaseFailed = false;
        out.status = session.download(*job.image, job.shownName, job.download, &out.report);
        if (out.status == kOk && job.start != StartAfter::Stay) {
            out.step = "start";
            out.status = startApplication(session, job, watched);
        }
    }
    session.setCallbacks(callbacks);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (job.compareOnly)
        out.bytes = out.compare.compared;
    else if (!job.image && job.readSize > 0)
        out.bytes = out.memory.size();
    else
        out.bytes = out.status == kOk && job.image ? job.image->byteCount() : out.report.written;
    if (out.status == kOk) {
        out.step.clear();
        return out;
    }
    out.error = ownError ? *ownError : session.lastError();
    out.error.status = out.status;
    std::string differences;
    if (out.status == kDiffers)
        differences = fmt(" in %llu of %llu bytes, the first at 0x%08X", (unsigned long long)out.compare.differing,
                          (unsigned long long)out.compare.compared, unsigned(*out.compare.firstDifference));
    out.error.hint = hintFor(out.status, {out.operation, job.port.name, job.file, job.port.baudrate, !out.report.touched,
                                          out.report.restored, session.openFailure(), job.words, differences});
    return out;
}

}  // namespace vbprog
