-- Sieve of Eratosthenes over a table of integer flags: count the primes below BENCH_N, five
-- times over, folding every prime found into a checksum.
local BENCH_N = 2000000

local start = os.clock()
local count = 0
local check = 0
for _ = 1, 5 do
  local flags = {}
  for i = 1, BENCH_N - 1 do
    flags[i] = 1
  end
  local i = 2
  while i * i < BENCH_N do
    if flags[i] ~= 0 then
      for j = i * i, BENCH_N - 1, i do
        flags[j] = 0
      end
    end
    i = i + 1
  end
  count = 0
  for k = 2, BENCH_N - 1 do
    if flags[k] ~= 0 then
      count = count + 1
      check = (check * 31 + k) % 1000003
    end
  end
end
print("result: " .. count .. " " .. check)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
