// One automation session of a job, from its start texts to Quit, and the new target workbook.
#pragma once

#include <memory>
#include <string>

#include "../job_host.h"
#include "../job_options.h"
#include "application.h"

namespace jobs {

// One automation session: the application object of a job, from "excel OK!" to Quit. The
// destructor ends the session (every workbook still open is closed without saving).
class Session {
public:
    // Creates the application, makes it invisible and silent and fetches the workbooks
    // collection, emitting "excel OK!" and "WorkBooks OK!"; when there is no collection it also
    // emits the message about the missing spreadsheet application.
    explicit Session(JobHost& host);
    // The same, with the job's choice of formulas or their stored values in the outputs.
    Session(JobHost& host, const JobOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The workbooks collection; null when the session could not reach it (the job then only
    // ends the session).
    automation::Workbooks* workbooks() const { return workbooks_; }
    automation::Application& application() { return *app_; }

    // Quits the application; further calls do nothing.
    void end();

    // The note a job's closing text ends with: how many formulas were written as their stored
    // values because their outputs lack what they refer to, where the first few are, and what
    // else was left behind for that reason; empty when every reference was carried.
    std::string referencesNote() const;
    // The note after the closing text that names each defined name left behind; empty when
    // none was.
    std::string namesNote() const;

private:
    std::unique_ptr<automation::Application> app_;
    automation::Workbooks* workbooks_ = nullptr;
};

// A new target workbook left with exactly one sheet (sheets count..2 deleted), or null.
automation::Workbook* addTargetWorkbook(automation::Workbooks& books);

}  // namespace jobs
