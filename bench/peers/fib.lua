-- Recursive Fibonacci: stresses calls, argument passing and integer arithmetic.
local BENCH_N = 30

local function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end

local start = os.clock()
local result = fib(BENCH_N)
print("result: " .. result)
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
