-- String library work: each round formats one record line, splits it at two delimiters, finds a
-- word, replaces every "a" by "A" and takes a substring, folding the results into a checksum.
local BENCH_N = 100000

local start = os.clock()
local check = 0
local s = ""
for r = 0, BENCH_N - 1 do
  s = string.format("key%d:alpha,beta,,gamma,delta", r)
  local tokens = {}
  for token in s:gmatch("[^,:]+") do
    tokens[#tokens + 1] = token
  end
  local found = s:find("gamma", 1, true) - 1
  s = s:gsub("a", "A")
  local part = s:sub(4, 8)
  check = (check * 31 + #tokens + found + part:byte(1) + #s + #tokens[#tokens]) % 1000003
end
print("result: " .. check .. " " .. s)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
