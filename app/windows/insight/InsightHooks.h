#pragma once

// Where the other windows open the insight windows: one call per menu item.

namespace kw::app {

class MonitorController;
class NewConfigurationController;

// "Test a Packet…" of the monitor: the current setting's rules, the deciding rule selected in
// the monitor's rule table.
void openPacketTesterFromMonitor(MonitorController& monitor);

// "Test a Packet…" of the configuration window: the rules of the setting as its pages show it
// (saved or not), the deciding rule's line selected in the expert text.
void openPacketTesterFromConfiguration(NewConfigurationController& window);

} // namespace kw::app
