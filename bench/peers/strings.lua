-- String building: each round concatenates 100 small pieces (250 characters) onto an empty
-- string, then folds one character code of the result into a checksum.
local BENCH_N = 20000

local start = os.clock()
local check = 0
local s = ""
for r = 0, BENCH_N - 1 do
  s = ""
  for _ = 1, 25 do
    s = s .. "a"
    s = s .. "bc"
    s = s .. "def"
    s = s .. "ghij"
  end
  check = (check * 31 + s:byte(r % 250 + 1)) % 1000003
end
print("result: " .. #s .. " " .. check)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
