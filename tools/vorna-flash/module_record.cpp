#include "module_record.h"

#include "exit_status.h"

#include "status.h"
#include "text_format.h"


namespace vf {

vbprog::ModuleJob moduleJob(const Options& o, const std::string& port, const vbprog::FirmwareImage* image,
                            const std::string& shownName)
{
    vbprog::ModuleJob job;
    job.port.name = port;
    job.port.baudrate = o.baud;
    if (!o.boot.empty())
        if (vbprog::Result<vbprog::BootSequence> boot = vbprog::bootSequence(o.boot))  // the command line checked it
            job.boot = std::move(boot).value();
    job.image = image;
    job.file = o.file;
    job.shownName = shownName;
    job.words = remedyWords();
    job.download = vbprog::DownloadOptions{vbprog::kApplicationStart, true, o.verify};
    if (o.after == After::Go) {
        job.start = vbprog::StartAfter::Go;
    } else if (o.after == After::Run) {
        // The command line takes run only with a preset, whose reset into the application this is.
        job.start = vbprog::StartAfter::Steps;
        const vbprog::Result<std::vector<vbprog::BootStep>> steps = vbprog::parseSteps(o.afterSteps);
        job.startSteps = o.afterSteps.empty() || !steps ? job.boot->run : steps.value();
    }
    return job;
}

LogRow logRow(const vbprog::ModuleOutcome& m, const RowContext& c)
{
    LogRow row;
    row.timeUtc = utcTimestamp();
    row.port = m.port;
    row.productId = m.pid ? vbprog::productIdText(m.pid) : std::string();
    row.devEUI = m.devEUI;
    row.joinEUI = m.joinEUI;
    row.appKey = m.appKey;
    if (c.withFirmware) {
        row.file = c.file;
        row.sha256 = c.sha256;
    }
    row.result = statusName(m.status);
    row.seconds = m.seconds;
    row.runId = c.runId;
    row.toolVersion = c.toolVersion;
    row.attempt = c.attempt;
    row.failingStep = m.step;
    row.uniqueId = m.uniqueId;
    row.duplicate = c.duplicate;
    return row;
}

}  // namespace vf
