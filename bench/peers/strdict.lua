-- String-key lookups: BENCH_N keys "k0", "k1", ... are made once and entered into a table,
-- then every key is looked up twenty times, summing the values found.
local BENCH_N = 200000

local start = os.clock()
local keys = {}
local d = {}
local count = 0
for i = 0, BENCH_N - 1 do
  local key = "k" .. i
  keys[i + 1] = key
  d[key] = i % 1000
  count = count + 1
end
local total = 0
for _ = 1, 20 do
  for i = 1, BENCH_N do
    total = total + d[keys[i]]
  end
  total = total % 1000003
end
print("result: " .. count .. " " .. total)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
