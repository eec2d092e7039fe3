# Per-frame lateness of the pacing benchmark (bench/pacing.csv) as a PNG.
#   gnuplot -e "csv='bench/pacing.csv'; png='bench/pacing.png'; reps=3" bench/pacing.gp
# CSV columns: rep,frame,due_ms,present_ms,late_ms.
if (!exists("csv")) csv = 'pacing.csv'
if (!exists("png")) png = 'pacing.png'
if (!exists("reps")) reps = 1
if (!exists("subtitle")) subtitle = ''
set terminal pngcairo size 1000,520 font ',10'
set output png
set datafile separator ','
set key top left
set grid ytics
set title "Present lateness, 640x480 at 60/1, real loop with a null window backend\n".subtitle
set xlabel 'frame (k)'
set ylabel 'present - (t0 + k/60 s), ms'
set xrange [0:*]
# Clipped so that the common case stays readable; the largest value is named.
stats csv every ::1 using 5 nooutput
set yrange [-3:6]
set label 1 sprintf('largest: %.2f ms (clipped at 6 ms)', STATS_max) at graph 0.99, graph 0.95 right
plot for [r=1:reps] csv every ::1 using 2:($1 == r ? $5 : 1/0) with lines lw 1 title sprintf('run %d', r), \
     2 with lines dt 2 lc rgb '#c00000' title '2 ms (p99 target)', \
     0 with lines lc rgb '#808080' notitle
