#include "advanced_tab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/settings_file.h"
#include "app/startup.h"

namespace {

QCheckBox* optionBox(QWidget* parent, const QString& text, const QString& name, const char* key) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    QObject::connect(box, &QCheckBox::toggled,
                     [key](bool on) { tw::storeSetting(key, on ? "y" : "n"); });
    return box;
}

QLabel* note(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setIndent(22);
    label->setStyleSheet(QStringLiteral("color: rgb(90, 90, 90);"));
    return label;
}

}  // namespace

AdvancedTab::AdvancedTab(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("wgt_AdvancedTab"));
    auto* layout = new QVBoxLayout(this);

    align_ = optionBox(this, QStringLiteral("按表头对齐列"), QStringLiteral("cBox_AlignHeaders"),
                       kAlignKey);
    source_ = optionBox(this, QStringLiteral("加来源列（来源文件、来源工作表）"),
                        QStringLiteral("cBox_SourceColumns"), kSourceKey);
    spill_ = optionBox(this, QStringLiteral("超出行数上限时续写到新Sheet"),
                       QStringLiteral("cBox_Spill"), kSpillKey);
    report_ = optionBox(this, QStringLiteral("生成报告（结果旁的“…_报告.xlsx”）"),
                        QStringLiteral("cBox_Report"), kReportKey);

    auto* merges = new QLabel(
        QStringLiteral("合并成1个Sheet、汇总（纵向）、合并成多个Sheet（汇总同名Sheet）时："), this);
    layout->addWidget(merges);
    layout->addWidget(align_);
    layout->addWidget(
        note(this, QStringLiteral("列按表头文字匹配（忽略首尾空白、字母大小写和全半角），"
                                  "新列加在右边，缺少的列留空。")));
    layout->addWidget(source_);
    layout->addWidget(spill_);
    layout->addWidget(note(this, QStringLiteral("xlsx 每个Sheet 1048576 行，xls 65536 行；续表名为"
                                                "“名称 (2)”“名称 (3)”…，表头在续表中重复。")));
    layout->addWidget(new QLabel(QStringLiteral("所有功能："), this));
    layout->addWidget(report_);

    auto* row = new QHBoxLayout;
    previewJob_ = new QComboBox(this);
    previewJob_->setObjectName(QStringLiteral("cBox_PreviewJob"));
    previewJob_->addItems({QStringLiteral("合并成多个Sheet"), QStringLiteral("合并成1个Sheet"),
                           QStringLiteral("汇总"), QStringLiteral("拆分Sheet"),
                           QStringLiteral("平均拆分"), QStringLiteral("按列拆分")});
    connect(previewJob_, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [](int index) { tw::storeSetting(kPreviewJobKey, std::to_string(index)); });
    preview_ = new QPushButton(QStringLiteral("预览"), this);
    preview_->setObjectName(QStringLiteral("pBtn_Preview"));
    connect(preview_, &QPushButton::clicked, this,
            [this] { emit previewRequested(previewJob_->currentIndex()); });
    row->addWidget(new QLabel(QStringLiteral("预览功能："), this));
    row->addWidget(previewJob_);
    row->addWidget(preview_);
    row->addStretch(1);
    layout->addLayout(row);
    layout->addWidget(note(this, QStringLiteral("预览按第一页的设置读取源文件并列出将要进行的处理，"
                                                "不写入任何文件。")));

    // Passwords: in the widgets and the job's options only, never stored or shown elsewhere.
    layout->addWidget(
        new QLabel(QStringLiteral("打开设有密码的工作簿时依次尝试的密码（每行一个）："), this));
    passwords_ = new QPlainTextEdit(this);
    passwords_->setObjectName(QStringLiteral("pTxt_Passwords"));
    passwords_->setTabChangesFocus(true);
    passwords_->setMaximumHeight(passwords_->fontMetrics().lineSpacing() * 5);
    layout->addWidget(passwords_);
    auto* encryptRow = new QHBoxLayout;
    encryptPassword_ = new QLineEdit(this);
    encryptPassword_->setObjectName(QStringLiteral("lEdit_EncryptPassword"));
    encryptPassword_->setEchoMode(QLineEdit::Password);
    encryptRow->addWidget(new QLabel(QStringLiteral("结果加密保存的密码："), this));
    encryptRow->addWidget(encryptPassword_, 1);
    layout->addLayout(encryptRow);
    layout->addWidget(note(this, QStringLiteral("留空则不加密；加密只用于 xlsx 结果。"
                                                "密码只在本次运行中使用，不会保存到设置文件。")));
    layout->addStretch(1);
}

void AdvancedTab::applySettings(const std::string& content) {
    const auto on = [&](const char* key) { return tw::getSetting(content, key) == "y"; };
    const QSignalBlocker blockAlign(align_), blockSource(source_), blockSpill(spill_),
        blockReport(report_), blockJob(previewJob_);
    align_->setChecked(on(kAlignKey));
    source_->setChecked(on(kSourceKey));
    spill_->setChecked(on(kSpillKey));
    report_->setChecked(on(kReportKey));
    bool ok = false;
    const int job = QString::fromStdString(tw::getSetting(content, kPreviewJobKey)).toInt(&ok);
    if (ok && job >= 0 && job < previewJob_->count()) previewJob_->setCurrentIndex(job);
}

void AdvancedTab::fill(JobOptions& options) const {
    options.alignHeaders = align_->isChecked();
    options.sourceColumns = source_->isChecked();
    options.spill = spill_->isChecked();
    options.reportBesideOutput = report_->isChecked();
    options.openPasswords.clear();
    for (const QString& line : passwords_->toPlainText().split(QLatin1Char('\n'))) {
        QString password = line;
        if (password.endsWith(QLatin1Char('\r'))) password.chop(1);
        if (!password.isEmpty()) options.openPasswords.push_back(password.toStdString());
    }
    options.encryptPassword = encryptPassword_->text().toStdString();
}

QWidget* showPlanDialog(QWidget* parent, const QList<QStringList>& table) {
    auto* dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("dlg_Plan"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("预览"));
    auto* layout = new QVBoxLayout(dialog);
    auto* view = new QTableWidget(dialog);
    view->setObjectName(QStringLiteral("tbl_Plan"));
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    if (!table.isEmpty()) {
        view->setColumnCount(table.first().size());
        view->setHorizontalHeaderLabels(table.first());
        view->setRowCount(table.size() - 1);
        for (int r = 1; r < table.size(); ++r)
            for (int c = 0; c < table[r].size(); ++c)
                view->setItem(r - 1, c, new QTableWidgetItem(table[r][c]));
    }
    view->resizeColumnsToContents();
    view->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(view);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    layout->addWidget(buttons);
    dialog->resize(900, 420);
    dialog->show();
    return dialog;
}
