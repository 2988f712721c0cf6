// The window for assistive technology (AT-SPI on Linux). Qt describes a
// QLabel by its text alone, so a value field given a name would no longer
// say its number: the window's own accessible objects keep both, the field's
// name and description and its text (a read-only text interface). The
// waveform graph, painted into the dialog and not a control, gets an
// accessible stand-in, and the device tree's items can be selected and
// expanded through their actions (see device_tree_accessible.h).
#pragma once

class QLabel;
class QString;
class QTreeWidget;
class QWidget;

namespace kvx::ui {

// Installs the window's accessible objects into Qt (once per process).
void InstallAccessibleFactory();

// `field` is a value field: named and described for assistive technology,
// its text exposed as text.
void MarkValueField(QLabel* field);
// `tree` is the device tree (items with select, expand and collapse actions).
void MarkDeviceTree(QTreeWidget* tree);
// A widget that only stands for the waveform graph painted beneath it.
void MarkGraphStandIn(QWidget* widget);

// Tells assistive technology that a value field's text changed (Qt tells it
// only for labels that have no name of their own).
void NotifyValueFieldText(QLabel* field, const QString& oldText);

}  // namespace kvx::ui
