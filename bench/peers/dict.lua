-- Dictionary work: 50,000 distinct string keys inserted, every key looked up twice, and as many
-- absent keys tested, folding the values found into a checksum.
local BENCH_N = 50000

local start = os.clock()
local d = {}
local count = 0
for i = 0, BENCH_N - 1 do
  d["key" .. i] = i
  count = count + 1
end
local check = 0
for _ = 1, 2 do
  for i = 0, BENCH_N - 1 do
    check = (check * 31 + d["key" .. i]) % 1000003
  end
end
local missing = 0
for i = 0, BENCH_N - 1 do
  if d["absent" .. i] == nil then
    missing = missing + 1
  end
end
print("result: " .. count .. " " .. check .. " " .. missing)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
