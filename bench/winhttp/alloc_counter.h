#pragma once

// Allocations made through operator new since the program started (all threads).
long allocation_count() noexcept;
