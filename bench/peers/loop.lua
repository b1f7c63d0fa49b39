-- A counted loop of integer arithmetic (multiply, mask, remainder, add).
local BENCH_N = 10000000

local start = os.clock()
local acc = 0
for i = 0, BENCH_N - 1 do
  acc = (acc * 31 + (i & 255) + i % 7) % 1000003
end
print("result: " .. acc)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
