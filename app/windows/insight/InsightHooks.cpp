#include "windows/insight/InsightHooks.h"

#include "windows/MonitorController.h"
#include "windows/NewConfigurationController.h"
#include "windows/insight/PacketTesterController.h"

#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "models/RuleTableModel.h"
#include "rules/ConfigurationText.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTableView>
#include <QTextBlock>

#include <set>

namespace kw::app {

namespace {

QStringList interfaceNames(const Value* setting)
{
    std::set<QString> names;
    if (setting != nullptr) {
        if (const Value* list = setting->get(keys::kInterfaceList); list != nullptr && list->array() != nullptr) {
            for (const Value& entry : *list->array()) {
                if (const Value* name = entry.get(keys::kInterfaceName); name != nullptr && name->string() != nullptr) {
                    names.insert(QString::fromStdString(*name->string()));
                }
            }
        }
    }
    names.erase(QString());
    QStringList result(names.begin(), names.end());
    result.append(QStringLiteral("lo0"));
    return result;
}

} // namespace

void openPacketTesterFromMonitor(MonitorController& monitor)
{
    PacketTesterController& tester = PacketTesterController::sharedInstance();
    KeepwallPrefs prefs;
    const auto key = prefs.currentSettingsKey();
    const Value* setting = key ? prefs.settingForKey(*key) : nullptr;
    QString name = key ? QString::fromStdString(*key) : QString();
    if (setting != nullptr) {
        if (const Value* n = setting->get(keys::kSettingName); n != nullptr && n->string() != nullptr) {
            name = QString::fromStdString(*n->string());
        }
    }
    tester.testSetting(key ? QString::fromStdString(*key) : QString(),
                       QObject::tr("Rules of the current setting \"%1\", as activation loads them.").arg(name));
    tester.setInterfaces(interfaceNames(setting));
    QPointer<MonitorController> target(&monitor);
    tester.setHighlightHandler([target](int ruleNumber) {
        if (!target) {
            return;
        }
        auto* table = target->findChild<QTableView*>(QStringLiteral("tableView"));
        const RuleTableModel& model = target->ruleModel();
        for (int row = 0; table != nullptr && row < model.rowCount(); ++row) {
            const RuleRow* r = model.rowAt(row);
            if (r != nullptr && r->number(RuleKey::OrderItem) == ruleNumber) {
                table->selectRow(row);
                table->scrollTo(model.index(row, 0));
                return;
            }
        }
    });
    tester.showWindow();
}

void openPacketTesterFromConfiguration(NewConfigurationController& window)
{
    PacketTesterController& tester = PacketTesterController::sharedInstance();
    const Value setting = window.settingFromPages();
    std::string text;
    try {
        text = ipfwTextForSetting(setting);
    } catch (const std::exception& e) {
        text.clear();
    }
    tester.testRuleText(QString::fromStdString(text),
                        QObject::tr("Rules of the setting \"%1\" as this window shows it.").arg(window.settingName()));
    tester.setInterfaces(interfaceNames(&setting));
    QPointer<NewConfigurationController> target(&window);
    tester.setHighlightHandler([target](int ruleNumber) {
        if (!target) {
            return;
        }
        auto* expert = target->findChild<QPlainTextEdit*>(QStringLiteral("expertText"));
        auto* editing = target->findChild<QCheckBox*>(QStringLiteral("allowExpertEditing"));
        auto* tabs = target->findChild<QTabWidget*>(QStringLiteral("tabView"));
        if (expert == nullptr) {
            return;
        }
        if (editing != nullptr && !editing->isChecked()) {
            target->generateExpertTextFromQuick(); // the text the quick pages make, as tested
        }
        for (int i = 0; tabs != nullptr && i < tabs->count(); ++i) {
            if (tabs->widget(i)->isAncestorOf(expert)) {
                tabs->setCurrentIndex(i);
            }
        }
        const QRegularExpression line(QStringLiteral("^\\s*(-\\S+\\s+)*add\\s+0*%1(\\s|$)").arg(ruleNumber));
        for (QTextBlock block = expert->document()->begin(); block.isValid(); block = block.next()) {
            if (line.match(block.text()).hasMatch()) {
                QTextCursor cursor(block);
                cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
                expert->setTextCursor(cursor);
                expert->ensureCursorVisible();
                return;
            }
        }
    });
    tester.showWindow();
}

} // namespace kw::app
