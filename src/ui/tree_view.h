// The device tree as the tree logic sees it: nodes inserted last under a
// parent or the root, deleted one by one, two images per node (normal and
// selected), and the node that is selected now. The Qt window implements it
// on a QTreeWidget; tests use a fake that records the calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "resources/dialog_templates.h"

namespace kvx::ui {

// A node of the tree; None is the null handle (also "the root" as a parent).
enum class TreeNode : std::uintptr_t { None = 0 };

class TreeView {
 public:
  virtual ~TreeView() = default;

  // Inserts a node with `text` as the last child of `parent` (None: the root).
  virtual TreeNode InsertNode(TreeNode parent, const std::string& text) = 0;
  // Deletes a node that has no children left.
  virtual void DeleteNode(TreeNode node) = 0;
  // Gives the tree its image list; image i is images[i]. Black pixels
  // (0x000000) are the mask colour: they show the tree's background.
  virtual void SetImageList(std::span<const resources::Image16> images) = 0;
  virtual void SetNodeImages(TreeNode node, int image, int selectedImage) = 0;
  // The selected node, or None.
  virtual TreeNode SelectedNode() const = 0;
};

}  // namespace kvx::ui
