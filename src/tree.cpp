#include "tree.hpp"

namespace ornik {

namespace {

template <class Payload, class FillLeaf>
std::vector<ExportedNode> export_nodes(const NodeList<Payload>& nodes, FillLeaf&& fill_leaf) {
  std::vector<ExportedNode> records(nodes.size());
  // Children carry larger ids than their parent: fill backwards so split counts can sum them.
  for (size_t i = nodes.size(); i-- > 0;) {
    const Node<Payload>& node = nodes[i];
    ExportedNode& r = records[i];
    r.id = i;
    if (node.is_leaf) {
      r.is_leaf = true;
      r.n_samples = node.n_samples;
      fill_leaf(r, node.payload);
      continue;
    }
    r.children_left = static_cast<int64_t>(i + 1);
    r.children_right = static_cast<int64_t>(node.right);
    r.feature = static_cast<int64_t>(node.rule.feature);
    r.n_samples = records[i + 1].n_samples + records[node.right].n_samples;
    r.evidence = node.evidence;
    if (node.rule.kind == SplitRule::Kind::Categorical) {
      r.is_categorical = true;
      r.category = node.rule.category;
    } else {
      r.lower = node.rule.has_lower ? node.rule.lower : -std::numeric_limits<double>::infinity();
      r.upper = node.rule.has_upper ? node.rule.upper : std::numeric_limits<double>::infinity();
    }
  }
  return records;
}

}  // namespace

std::vector<ExportedNode> walk_export(const NodeList<double>& nodes) {
  return export_nodes(nodes, [](ExportedNode& r, double value) { r.value = value; });
}

std::vector<ExportedNode> walk_export(const NodeList<ClassPrediction>& nodes) {
  return export_nodes(nodes, [](ExportedNode& r, const ClassPrediction& p) {
    r.proba = p.proba;
    r.predicted_class = static_cast<int64_t>(p.class_);
  });
}

}  // namespace ornik
