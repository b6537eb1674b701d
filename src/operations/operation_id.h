#pragma once
// The operations of the registry by name, for what must tell them apart without running them (the
// window's jobs). Their entries are in operations/operation_registry.h, in this order.

namespace sv {

enum class OperationId : int { Render, Blur, Sharpen, Median, Bilateral, Neutral, Balance, Fusion };
inline constexpr int kOperationCount = 8;

// A render-like operation makes processedBuffer (the region of it) from the stack or the
// exposures; a filter-like one reads processedBuffer (P), keeps the region's copy in
// newImageBuffer (N) and writes processedCopy (C), which an Apply copies back into P.
enum class OperationKind { RenderLike, FilterLike };

constexpr OperationKind operationKind(OperationId id) {
    return id == OperationId::Render || id == OperationId::Fusion ? OperationKind::RenderLike
                                                                   : OperationKind::FilterLike;
}

}  // namespace sv
