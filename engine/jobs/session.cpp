// The automation session of a job and the new target workbook.
#include "session.h"

#include "job_texts.h"

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

Session::Session(JobHost& host, const JobOptions& options) : Session(host) {
    app_->FormulasAsValues(options.formulasAsValues);
    app_->OpenPasswords(options.openPasswords);
    app_->SavePassword(options.encryptPassword);
}

std::string Session::referencesNote() const {
    if (!app_) return {};
    const std::string text = app_->References().text();
    return text.empty() ? text : " " + text;
}

std::string Session::namesNote() const {
    return app_ ? app_->References().namesText() : std::string();
}

Session::Session(JobHost& host) : app_(std::make_unique<automation::Application>()) {
    host.text(std::string(kExcelOk));
    app_->SetVisible(false);
    app_->DisplayAlerts(false);
    workbooks_ = app_->Workbooks();
    // A stop pressed while a large workbook is read ends the read.
    if (workbooks_) workbooks_->StopReadsWhen([&host] { return host.cancelRequested(); });
    host.text(std::string(kWorkBooksOk));
    if (!workbooks_) host.text(std::string(kNoSpreadsheetApplication));
}

Session::~Session() {
    end();
}

void Session::end() {
    if (!app_) return;
    app_->Quit();
    workbooks_ = nullptr;
    app_.reset();
}

automation::Workbook* addTargetWorkbook(automation::Workbooks& books) {
    automation::Workbook* target = books.Add();
    if (!target) return nullptr;
    automation::Sheets& sheets = target->Sheets();
    for (int n = sheets.Count(); n > 1; --n)
        if (automation::Worksheet* s = sheets.Item(n)) (void)s->Delete();
    return target;
}

}  // namespace jobs
