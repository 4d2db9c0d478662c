// The "UPS Status" page: the data stream, the readings with their report boxes, the flags, the
// battery and the log.
#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <chrono>

#include "monitor/battery_charge.h"
#include "ui/battery_gauge.h"
#include "ui/tabs.h"
#include "ui/widget_kit.h"

namespace gw::ui {

namespace {

using Model = monitor::DisplayModel;
using Mirror = UpsMirror;

struct ReadingRow {
    const char* Caption;
    const char* CaptionName;
    const char* Field;
    const char* Unit;
    const char* Box;
    std::string Mirror::*Text;
    bool Model::*Report;
};

// clang-format off
const ReadingRow kReadingRows[] = {
    {"I/P Voltage",       "IPVoltageNL",      "IPVoltageE",      "V",  "IPVoltageCB",      &Mirror::IPVoltageE,      &Model::IPVoltageCB},
    {"I/P Fault Voltage", "IPFaultVoltageNL", "IPFaultVoltageE", "V",  "IPFaultVoltageCB", &Mirror::IPFaultVoltageE, &Model::IPFaultVoltageCB},
    {"O/P Voltage",       "OPVoltageNL",      "OPVoltageE",      "V",  "OPVoltageCB",      &Mirror::OPVoltageE,      &Model::OPVoltageCB},
    {"O/P Current",       "OPCurrentNL",      "OPCurrentE",      "%",  "OPCurrentCB",      &Mirror::OPCurrentE,      &Model::OPCurrentCB},
    {"I/P Frequency",     "IPFrequencyNL",    "IPFrequencyE",    "Hz", "IPFrequencyCB",    &Mirror::IPFrequencyE,    &Model::IPFrequencyCB},
    {"Battery Voltage",   "BatteryVoltageNL", "BatteryVoltageE", "V",  "BatteryVoltageCB", &Mirror::BatteryVoltageE, &Model::BatteryVoltageCB},
    {"Temperature",       "TemperatureNL",    "TemperatureE",    "\u00b0C", "TemperatureCB", &Mirror::TemperatureE,  &Model::TemperatureCB},
    {"UPS Status",        "UPSStatusNL",      "UPSStatusE",      "",   "UPSStatusCB",      &Mirror::UPSStatusE,      &Model::UPSStatusCB},
};

// The flags, and beside the first four the boxes that put them into the reports.
struct FlagRow {
    const char* Name;
    const char* Caption;
    const char* ReportBox;
    bool Model::*Report;
};
const FlagRow kFlagRows[] = {
    {"UPSStatusCB1", "Power Fail",       "PowerFailCB",  &Model::PowerFailCB},
    {"UPSStatusCB2", "Battery Low",      "BatteryLowCB", &Model::BatteryLowCB},
    {"UPSStatusCB3", "AVR",              "AVRCB",        &Model::AVRCB},
    {"UPSStatusCB4", "UPS Failed",       "UPSFailCB",    &Model::UPSFailCB},
    {"UPSStatusCB5", "Standby UPS",      nullptr,        nullptr},
    {"UPSStatusCB6", "Test in Progress", nullptr,        nullptr},
    {"UPSStatusCB7", "Shutdown Active",  nullptr,        nullptr},
    {"UPSStatusCB8", "Beeper On",        nullptr,        nullptr},
};

struct ThresholdControls {
    const char* Caption;
    const char* Field;
    const char* Arrows;
    monitor::Threshold Which;
};
const ThresholdControls kThresholdControls[] = {
    {"Full Battery Voltage:",  "FullBatteryVoltageE",  "FullBatteryVoltageUD",  monitor::Threshold::Full},
    {"Empty Battery Voltage:", "EmptyBatteryVoltageE", "EmptyBatteryVoltageUD", monitor::Threshold::Empty},
};
// clang-format on

QToolButton* LogButton(const char* name, const char* icon, const char* hint) {
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setIcon(QIcon(icon));
    button->setToolTip(hint);
    return button;
}

QString Line(const std::string& text) { return QString::fromLatin1(text.data(), text.size()); }

// The threshold's field takes the stepping keys as its arrows do.
class ThresholdKeys final : public QObject {
public:
    ThresholdKeys(QObject* parent, std::function<void(monitor::ThresholdKey)> step)
        : QObject(parent), step_(std::move(step)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
        switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_PageUp:
                step_(monitor::ThresholdKey::PageUp);
                return true;
            case Qt::Key_PageDown:
                step_(monitor::ThresholdKey::PageDown);
                return true;
            case Qt::Key_Up:
                step_(monitor::ThresholdKey::Up);
                return true;
            case Qt::Key_Down:
                step_(monitor::ThresholdKey::Down);
                return true;
            default:
                return QObject::eventFilter(watched, event);
        }
    }

private:
    std::function<void(monitor::ThresholdKey)> step_;
};

QGroupBox* BuildReadings(TabContext& context) {
    ModelBinding& binding = context.Binding;
    Model& model = binding.model();
    QGroupBox* group = Group("UPSInformationGB", "UPS Information");
    auto* grid = new QGridLayout(group);
    int row = 0;
    for (const ReadingRow& reading : kReadingRows) {
        grid->addWidget(Caption(reading.CaptionName, reading.Caption), row, 0);
        QLineEdit* field = Field(reading.Field, reading.Unit[0] ? 58 : 0);
        binding.Show(field, reading.Text);
        grid->addWidget(field, row, 1, 1, reading.Unit[0] ? 1 : 2);
        if (reading.Unit[0])
            grid->addWidget(Caption(nullptr, QString::fromUtf8(reading.Unit)), row, 2);
        QCheckBox* box = Box(reading.Box);
        binding.Check(box, reading.Report);
        grid->addWidget(box, row, 3, Qt::AlignRight);
        ++row;
    }

    QGroupBox* flags = Group("UPSStatusGB", "UPS Status");
    flags->setEnabled(false);  // display only
    auto* flag_grid = new QGridLayout(flags);
    auto* report_boxes = new QVBoxLayout;
    for (std::size_t i = 0; i < std::size(kFlagRows); ++i) {
        const FlagRow& flag = kFlagRows[i];
        QCheckBox* box = Box(flag.Name, flag.Caption);
        binding.Show(box, kFlagBoxes[i]);
        if (i == 4) {
            binding.AlsoMirror(
                [box, &binding] { box->setText(Line(binding.mirror().UPSStatusCB5Caption)); });
        }
        flag_grid->addWidget(box, static_cast<int>(i % 4), static_cast<int>(i / 4) * 2);
        if (flag.ReportBox != nullptr) {
            QCheckBox* report = Box(flag.ReportBox);
            binding.Check(report, flag.Report);
            report_boxes->addWidget(report);
        }
    }
    QLabel* avr_state = Value("AVRStateL", "...");
    binding.Show(avr_state, &Mirror::AVRStateL);
    binding.AlsoMirror(
        [avr_state, &binding] { avr_state->setEnabled(binding.mirror().AVRStateLEnabled); });
    flag_grid->addWidget(avr_state, 2, 1);
    grid->addWidget(flags, row, 0, 1, 3);
    grid->addLayout(report_boxes, row, 3, Qt::AlignRight | Qt::AlignVCenter);
    ++row;

    auto* lower = new QGridLayout;
    QLabel* minimum = Value("IPVoltageMinL", "...");
    QLabel* maximum = Value("IPVoltageMaxL", "...");
    QLabel* mode = Value("UPSModeL", "...", true);
    QLabel* charge = Value("BatteryChargeL", "...", true);
    binding.Show(minimum, &Mirror::IPVoltageMinL);
    binding.Show(maximum, &Mirror::IPVoltageMaxL);
    binding.Show(mode, &Mirror::UPSModeL);
    binding.Show(charge, &Model::BatteryChargeL);
    lower->addWidget(Caption("IPVoltageMinNL", "I/P Voltage Min:"), 0, 0);
    lower->addLayout(Row({minimum, Caption(nullptr, "V")}), 0, 1);
    lower->addWidget(mode, 0, 2);
    lower->addWidget(Caption("IPVoltageMaxNL", "I/P Voltage Max:"), 1, 0);
    lower->addLayout(Row({maximum, Caption(nullptr, "V")}), 1, 1);
    lower->addWidget(Caption("BatteryChargeNL", "Battery Charge:"), 2, 0);
    lower->addLayout(Row({charge, Caption(nullptr, "%")}), 2, 1);
    QLineEdit* nominal = Field("NominalBatteryVoltageE", 40);
    binding.Show(nominal, &Model::NominalBatteryVoltageE);
    lower->addWidget(Caption("NominalBatteryVoltageNL", "Nominal Battery Voltage:"), 3, 0);
    lower->addLayout(Row({nominal, Caption(nullptr, "V")}), 3, 1);
    int lower_row = 4;
    for (const ThresholdControls& threshold : kThresholdControls) {
        const monitor::ThresholdRow* row_of = nullptr;
        for (const auto& r : monitor::kThresholds) {
            if (r.Which == threshold.Which) row_of = &r;
        }
        UpDownPair pair = MakeUpDown(threshold.Field, threshold.Arrows, 40);
        const monitor::Threshold which = threshold.Which;
        auto step_key = [&model, &context, which](monitor::ThresholdKey key) {
            if (monitor::StepThreshold(model, which, key)) {
                context.Binding.Refresh();
                if (context.Edited) context.Edited();
            }
        };
        binding.Arrows(
            pair.Arrows, pair.Field, row_of->Control, row_of->Edit, [step_key](int direction) {
                step_key(direction > 0 ? monitor::ThresholdKey::Up : monitor::ThresholdKey::Down);
            });
        pair.Field->installEventFilter(new ThresholdKeys(pair.Field, step_key));
        lower->addWidget(Caption(nullptr, threshold.Caption), lower_row, 0);
        lower->addLayout(Row({pair.Layout, Caption(nullptr, "V")}), lower_row, 1);
        ++lower_row;
    }
    // What the battery model makes of the readings; the evidence for the verdict as its hint.
    QLabel* runtime = Value("RuntimeL", "...");
    QLabel* health = Value("BatteryHealthL", "...");
    // A long estimate wraps rather than widen the page past the window.
    runtime->setWordWrap(true);
    health->setWordWrap(true);
    binding.Show(runtime, &Mirror::RuntimeL);
    binding.Show(health, &Mirror::BatteryHealthL);
    binding.AlsoMirror([health, &binding] {
        health->setToolTip(QString::fromStdString(binding.mirror().BatteryHealthHint));
    });
    lower->addWidget(Caption("RuntimeNL", "Runtime:"), lower_row, 0);
    lower->addWidget(runtime, lower_row, 1, 1, 2);
    ++lower_row;
    lower->addWidget(Caption("BatteryHealthNL", "Battery Health:"), lower_row, 0);
    lower->addWidget(health, lower_row, 1, 1, 2);
    context.Gauge = new BatteryGauge;
    binding.Also([gauge = context.Gauge, &model] {
        gauge->Show(model.BatteryChargeRL, model.BatteryChargeL != "...");
    });
    lower->addWidget(context.Gauge, 2, 2, 4, 1, Qt::AlignCenter);
    grid->addLayout(lower, row, 0, 1, 4);
    return group;
}

QGroupBox* BuildLog(TabContext& context) {
    QGroupBox* group = Group("LogGB", "Log");
    auto* layout = new QHBoxLayout(group);
    auto* memo = new QPlainTextEdit;
    memo->setObjectName("LogM");
    memo->setReadOnly(true);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont small = memo->font();
    small.setPixelSize(9);
    memo->setFont(small);
    for (const std::string& line : context.Log.Lines()) memo->appendPlainText(Line(line));
    context.LogObservers.push_back(context.Log.AddObserver(
        [memo](const std::string& line) { memo->appendPlainText(Line(line)); }));
    context.LogObservers.push_back(context.Log.AddClearObserver([memo] { memo->clear(); }));
    context.LogMemo = memo;
    layout->addWidget(memo);

    auto* buttons = new QVBoxLayout;
    QToolButton* clear = LogButton("ClearLogSB", ":/icons/clear.svg", "Clear Log");
    QToolButton* save = LogButton("SaveLogSB", ":/icons/save.svg", "Save Log");
    QObject::connect(clear, &QToolButton::clicked, memo, [&context] { context.Log.Clear(); });
    QObject::connect(save, &QToolButton::clicked, memo, [&context] {
        const QString proposed =
            QString::fromStdString(monitor::ProposedLogName(std::chrono::system_clock::now()));
        const QString path = QFileDialog::getSaveFileName(context.Window, "Save Log As", proposed,
                                                          "Text file (*.txt)");
        if (path.isEmpty()) return;
        std::string error;
        if (!context.Log.Save(path.toStdString(), error)) {
            QMessageBox::critical(context.Window, "Gridwarden", QString::fromStdString(error));
        }
    });
    buttons->addWidget(clear);
    buttons->addWidget(save);
    buttons->addStretch();
    layout->addLayout(buttons);
    return group;
}

}  // namespace

QWidget* BuildStatusTab(TabContext& context) {
    auto [page, layout] = MakePage("StatusTS");
    ModelBinding& binding = context.Binding;

    QLabel* time = Value("TimeL", "...");
    QLabel* progress = Value("ProgressL", "-");
    binding.Show(time, &Mirror::TimeL);
    binding.Show(progress, &Mirror::ProgressL);
    layout->addLayout(Row({Caption("ReportStringL", "UPS Data Stream:"), time}));
    QLineEdit* stream = Field("ReportStringE");
    binding.Show(stream, &Mirror::ReportStringE);
    layout->addLayout(Row({stream, progress}, false));
    layout->addWidget(BuildReadings(context));
    layout->addWidget(BuildLog(context), 1);
    return page;
}

}  // namespace gw::ui
