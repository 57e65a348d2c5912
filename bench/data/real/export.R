# Writes the real series of this folder: one CSV per series (time,value) and
# series.csv, the index of their documented changes. Run once, from the clone
# root, with R and strucchange installed (Debian: r-base-core,
# r-cran-strucchange):
#
#   Rscript bench/data/real/export.R bench/data/real
#
# Change positions are 0-based sample indices of the first sample of the new
# regime (the package's breakpoint convention); "none" where no change is
# documented; several annotations are separated by "|".
suppressPackageStartupMessages(library(strucchange))
out <- commandArgs(trailingOnly = TRUE)[1]
data("RealInt", "PhillipsCurve", "GermanM1", "BostonHomicide", "Grossarl", "SP2001",
     package = "strucchange")

ts_labels <- function(x) {
  years <- floor(time(x) + 1e-8)
  cycle_ <- cycle(x)
  switch(as.character(frequency(x)),
         "1" = sprintf("%d", years),
         "4" = sprintf("%d-Q%d", years, cycle_),
         "12" = sprintf("%d-%02d", years, cycle_))
}

index <- data.frame()
add <- function(name, source, values, labels, frequency, changes) {
  values <- as.numeric(values)
  stopifnot(!anyNA(values), length(values) == length(labels))
  write.csv(data.frame(time = labels, value = as.character(values)),
            file.path(out, paste0(name, ".csv")), row.names = FALSE, quote = FALSE)
  # `changes` is a list of annotations, each a vector of 0-based positions.
  fmt <- function(f) paste(sapply(changes, function(a) if (length(a)) paste(f(a), collapse = " ") else "none"),
                           collapse = "|")
  index <<- rbind(index, data.frame(
    name = name, source = source, frequency = frequency, n = length(values),
    first = labels[1], last = labels[length(labels)],
    changes = fmt(identity), change_labels = fmt(function(a) labels[a + 1])))
}
add_ts <- function(name, source, x, changes) add(name, source, x, ts_labels(x), frequency(x), changes)
# The first sample at which a 0/1 or factor coding takes a new value.
starts <- function(coding) which(diff(as.integer(coding)) != 0)

add_ts("nile", "datasets::Nile", Nile, list(which(time(Nile) == 1899) - 1))
law <- starts(Seatbelts[, "law"])
add_ts("ukdriverdeaths", "datasets::UKDriverDeaths", UKDriverDeaths, list(law))
add_ts("seatbelts_driverskilled", "datasets::Seatbelts[, \"DriversKilled\"]",
       Seatbelts[, "DriversKilled"], list(law))
add_ts("seatbelts_front", "datasets::Seatbelts[, \"front\"]", Seatbelts[, "front"], list(law))
add_ts("seatbelts_rear", "datasets::Seatbelts[, \"rear\"]", Seatbelts[, "rear"], list(integer(0)))
add_ts("lakehuron", "datasets::LakeHuron", LakeHuron, list(integer(0)))
add_ts("lynx", "datasets::lynx", lynx, list(integer(0)))
add_ts("co2", "datasets::co2", co2, list(integer(0)))
add_ts("airpassengers", "datasets::AirPassengers", AirPassengers, list(integer(0)))

# Bai & Perron (2003), Table 1: breaks after 1966(4), 1972(3) and 1980(3).
ri_breaks <- sapply(list(c(1966, 4), c(1972, 3), c(1980, 3)),
                    function(d) which(abs(time(RealInt) - (d[1] + (d[2] - 1) / 4)) < 1e-8))
add_ts("realint", "strucchange::RealInt", RealInt, list(ri_breaks))
# Bai & Perron (2003), Table 2: UK inflation 1948-1987, breaks after 1967 and 1975.
uk_dp <- window(PhillipsCurve[, "dp"], start = 1948)
add_ts("phillipscurve_dp", "strucchange::PhillipsCurve[, \"dp\"], 1948-1987", uk_dp,
       list(which(time(uk_dp) %in% c(1967, 1975))))
# Monetary union on 1990-06-01: historyM1 holds the quarters before it.
unification <- nrow(historyM1)
add_ts("germanm1_m", "strucchange::GermanM1$m", GermanM1$m, list(unification))
add_ts("germanm1_dm", "strucchange::GermanM1$dm", GermanM1$dm, list(unification))
# Operation Ceasefire began in the late spring of 1996: June 1996.
bh <- BostonHomicide$homicides
add_ts("bostonhomicide", "strucchange::BostonHomicide$homicides", bh,
       list(which(abs(time(bh) - (1996 + 5 / 12)) < 1e-8) - 1))
# The three codings of policy interventions, one annotation each.
gl_changes <- lapply(Grossarl[c("politics", "morals", "nuptiality")], starts)
add("grossarl_fraction", "strucchange::Grossarl$fraction", Grossarl$fraction,
    sprintf("%d", Grossarl$year), 1, gl_changes)
add("grossarl_marriages", "strucchange::Grossarl$marriages", Grossarl$marriages,
    sprintf("%d", Grossarl$year), 1, gl_changes)
# The attacks of 2001-09-11 closed the exchanges until 2001-09-17.
dal <- SP2001[, "DAL"]
dates <- format(index(dal))
add("sp2001_dal", "strucchange::SP2001[, \"DAL\"]", coredata(dal), dates, 1,
    list(which(dates == "2001-09-17") - 1))

write.csv(index, file.path(out, "series.csv"), row.names = FALSE)
