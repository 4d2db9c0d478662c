// The "UPS Information" page: what the UPS told about itself, the inquiries it answers, and
// the link in use.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ui/tabs.h"
#include "ui/widget_kit.h"

namespace gw::ui {

namespace {

using Model = monitor::DisplayModel;

struct IdentityRow {
    const char* Caption;
    const char* CaptionName;
    const char* Field;
    std::string Model::*Text;
    bool Model::*CaptionEnabled;
    bool Model::*FieldEnabled;
};

struct InquiryColumn {
    const char* Caption;
    const char* Label;
    const char* Box;
    bool Model::*Answered;
    bool Model::*Used;
};

// clang-format off
const IdentityRow kIdentityRows[] = {
    {"VID:",          "VIDNL",         "VIDE",         &Model::VIDE,         &Model::VIDNLEnabled,         &Model::VIDEEnabled},
    {"PID:",          "PIDNL",         "PIDE",         &Model::PIDE,         &Model::PIDNLEnabled,         &Model::PIDEEnabled},
    {"Product Name:", "ProductNameNL", "ProductNameE", &Model::ProductNameE, &Model::ProductNameNLEnabled, &Model::ProductNameEEnabled},
    {"Mfr.:",         "MfrNL",         "MfrE",         &Model::MfrE,         &Model::MfrNLEnabled,         &Model::MfrEEnabled},
    {"Model:",        "ModelNL",       "ModelE",       &Model::ModelE,       &Model::ModelNLEnabled,       &Model::ModelEEnabled},
    {"Ver.:",         "VerNL",         "VerE",         &Model::VerE,         &Model::VerNLEnabled,         &Model::VerEEnabled},
};
const InquiryColumn kInquiryColumns[] = {
    {"Q1", "Q1_L", "Q1_CB", &Model::Q1_LEnabled, &Model::Q1_CB},
    {"QS", "QS_L", "QS_CB", &Model::QS_LEnabled, &Model::QS_CB},
    {"F",  "F_L",  "F_CB",  &Model::F_LEnabled,  &Model::F_CB},
    {"I",  "I_L",  "I_CB",  &Model::I_LEnabled,  &Model::I_CB},
};
// clang-format on

QString Text(const std::string& text) { return QString::fromLatin1(text.data(), text.size()); }

}  // namespace

QWidget* BuildInfoTab(TabContext& context) {
    ModelBinding& binding = context.Binding;
    Model& model = binding.model();
    auto [page, layout] = MakePage("InfoTS");

    QGroupBox* ups = Group("UPSGB", "UPS");
    auto* grid = new QGridLayout(ups);
    int row = 0;
    for (const IdentityRow& identity : kIdentityRows) {
        QLabel* caption = Caption(identity.CaptionName, identity.Caption);
        QLineEdit* field = Field(identity.Field);
        binding.Show(field, identity.Text);
        binding.Enable(caption, identity.CaptionEnabled);
        binding.Enable(field, identity.FieldEnabled);
        grid->addWidget(caption, row, 0);
        grid->addWidget(field, row, 1);
        ++row;
    }
    layout->addWidget(ups);

    QGroupBox* inquiries = Group("SupportedCommandsGB", QString());
    auto* columns = new QGridLayout(inquiries);
    int column = 0;
    for (const InquiryColumn& inquiry : kInquiryColumns) {
        QLabel* label = Value(inquiry.Label, inquiry.Caption, true);
        binding.Enable(label, inquiry.Answered);
        QCheckBox* box = Box(inquiry.Box);
        binding.Check(box, inquiry.Used);
        columns->addWidget(label, 0, column, Qt::AlignCenter);
        columns->addWidget(box, 1, column, Qt::AlignCenter);
        ++column;
    }
    layout->addWidget(inquiries);

    QGroupBox* connection = Group("ConnectionGB", "Connection");
    auto* link = new QGridLayout(connection);
    auto* picture = new QLabel;
    picture->setObjectName("ConnI");
    picture->setFixedSize(53, 32);
    binding.Also([picture, &model] {
        static const char* const kPictures[] = {":/icons/conn-usb.svg", ":/icons/conn-com.svg"};
        if (model.ConnIImage == 0 || model.ConnIImage == 1) {
            picture->setPixmap(QIcon(kPictures[model.ConnIImage]).pixmap(53, 32));
        } else {
            picture->clear();
        }
    });
    QLabel* usb = Value("USBL", "USB", true);
    QLabel* com = Value("COML", "COM", true);
    binding.Enable(usb, &Model::USBLEnabled);
    binding.Enable(com, &Model::COMLEnabled);
    binding.Show(com, &Model::COMLCaption);
    auto* devices = new QComboBox;
    devices->setObjectName("USBLB");
    // Picking another item has no effect; the list only shows what was found.
    binding.Also([devices, &model] {
        QStringList items;
        for (const std::string& item : model.USBLBItems) items << Text(item);
        QStringList shown;
        for (int i = 0; i < devices->count(); ++i) shown << devices->itemText(i);
        if (shown != items) {
            devices->clear();
            devices->addItems(items);
        }
        if (devices->currentIndex() != model.USBLBItemIndex && model.USBLBItemIndex < devices->count()) {
            devices->setCurrentIndex(model.USBLBItemIndex);
        }
    });
    link->addWidget(picture, 0, 0, 2, 1);
    link->addWidget(usb, 0, 1);
    link->addWidget(com, 1, 1);
    link->addWidget(Caption("USBLBNL", "HID(s):"), 2, 0);
    link->addWidget(devices, 2, 1, 1, 2);
    link->setColumnStretch(2, 1);
    layout->addWidget(connection);

    // What the runtime estimate rests on.
    QGroupBox* battery = Group("BatteryModelGB", "Battery");
    auto* figures = new QGridLayout(battery);
    const struct {
        const char* Caption;
        const char* Name;
        std::string Model::*Text;
    } kFigures[] = {
        {"Full battery:", "BatteryCapacityL", &Model::BatteryCapacityL},
        {"Resistance:", "BatteryResistanceL", &Model::BatteryResistanceL},
        {"Discharges learned from:", "BatteryDischargesL", &Model::BatteryDischargesL},
        {"Last test:", "BatteryLastTestL", &Model::BatteryLastTestL},
    };
    int figure_row = 0;
    for (const auto& figure : kFigures) {
        QLabel* value = Value(figure.Name, "...");
        // The figures carry their evidence; they wrap rather than widen the page.
        value->setWordWrap(true);
        binding.Show(value, figure.Text);
        figures->addWidget(Caption(nullptr, figure.Caption), figure_row, 0);
        figures->addWidget(value, figure_row, 1);
        ++figure_row;
    }
    layout->addWidget(battery);
    layout->addStretch();
    return page;
}

}  // namespace gw::ui
